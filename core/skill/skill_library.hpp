// Skills: made from a stopped recording into a folder an agent can read and replay, installed into
// the local skill store, and found again by the replay.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/platform/file_system.hpp"
#include "core/skill/skill_steps.hpp"

namespace diruri {

// An operation on skills that cannot be done as asked; the text says why, in one sentence.
class SkillError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// No skill of that id where skills are looked for. A FileSystemError (ENOENT) for the callers that
// treat a missing skill as the missing file it is; the text names where it was looked for.
class SkillNotFound : public FileSystemError {
 public:
  SkillNotFound(const std::string& skillId, const std::string& lookedIn);
  const char* what() const noexcept override { return reason_.c_str(); }

 private:
  std::string reason_;
};

// The rule a generated skill's id obeys: agents load a skill by its SKILL.md name, which must be
// this and equal its folder's name. Said after "The argument skillId " or "The id …".
inline constexpr char kSkillNameRule[] =
    "must be 1 to 64 lowercase letters (a to z), digits and hyphens, not starting or ending with a hyphen "
    "and without two hyphens in a row, such as \"export-report\".";

// Whether the id obeys kSkillNameRule.
bool isSkillName(std::string_view id);

// A skill name made from any text (an application's name): its slug, cut to fit; "" when nothing of
// it is left.
std::string skillNameFrom(const std::string& text);

struct GeneratedSkill {
  std::string skillId;
  std::string skillPath;
  size_t steps = 0;
  std::vector<SkillParameter> parameters;
};

// The folder of a skill: the workspace's own .zeruva/skills/<skillId>/ if it exists, else
// <localStore>/<skillId>/ (when a store is given). Throws SkillNotFound.
std::string findSkill(FileSystem& fileSystem, const std::string& workspace, const std::string& localStore,
                      const std::string& skillId);

// The log a skill replays: its own references/events.jsonl (a generated skill stands alone), else
// the events.jsonl of the session its references/recording.json names (a hand-written skill); none
// when that file names no session, or one whose name is not a plain name. Throws what reading or
// parsing recording.json throws.
std::optional<std::string> recordingOfSkill(FileSystem& fileSystem, const std::string& workspace,
                                            const std::string& skillFolder);

// The steps of a skill's references/steps.json (kind, words, evidence ids); none when it has no
// such file or it cannot be read as steps.
std::vector<SkillStep> readSkillSteps(FileSystem& fileSystem, const std::string& skillFolder);

// The parameters of a skill's references/parameters.json, those that are usable (an identifier for
// a name, one of each name); none for a skill made before skills took them, or without that file.
std::vector<SkillParameter> readSkillParameters(FileSystem& fileSystem, const std::string& skillFolder);

// Why `arguments` (name and text) do not fit `parameters`, in a sentence, or none when they do: a
// name the skill has no parameter of, a text longer than kLongestArgument characters or with a
// control character other than a line break or a tab, a secret parameter without an argument
// (those of steps before `fromStep` excepted). Never says an argument's text.
std::optional<std::string> argumentsProblem(const std::vector<SkillParameter>& parameters,
                                            const std::vector<std::pair<std::string, std::string>>& arguments,
                                            size_t fromStep = 0);

// The local skill store of a user: $XDG_DATA_HOME/diruri-rediro/skills, or
// ~/.local/share/diruri-rediro/skills when that is not set (or not absolute); empty when neither
// XDG_DATA_HOME nor a home directory is known. Read from the environment given.
std::string defaultLocalSkillStore(const char* xdgDataHome, const char* home);

class SkillLibrary {
 public:
  SkillLibrary(FileSystem& fileSystem, std::string localStore)
      : fileSystem_(fileSystem), localStore_(std::move(localStore)) {}

  // Writes <workspace>/.zeruva/skills/<skillId>/ from the stopped session `sessionId`: SKILL.md,
  // references/recording.json, references/events.jsonl (the replayable events),
  // references/steps.json and references/parameters.json. The folder appears whole or not at all, and never
  // replaces one that exists. Without a skill id, the one the session's summary recommends when it obeys
  // kSkillNameRule, else one made from the first application's name. Throws SkillError for an id
  // that breaks the rule, a session that does not exist, is still recording or whose log cannot be
  // read, and for a skill that exists; the file-system error otherwise. No link is followed inside
  // the session.
  GeneratedSkill generate(const std::string& workspacePath, const std::string& sessionId,
                          const std::optional<std::string>& skillId);

  // Copies the generated skill to <destination>/<skillId>/ (the local store when no destination is
  // given), replacing an installed copy whole: a complete copy is made beside it and swapped in.
  // Only regular files and folders are copied. Returns the installed folder. Throws SkillError for
  // a skill that was not generated (no SKILL.md), one that holds a symbolic link anywhere (the
  // installed copy is then left as it was) and for a destination that cannot be made or written.
  std::string install(const std::string& workspacePath, const std::string& skillId,
                      const std::optional<std::string>& destination);

  // The parameters of the skill a replay would find (see findSkill). Throws SkillNotFound.
  std::vector<SkillParameter> parameters(const std::string& workspacePath, const std::string& skillId);
  // Those of the skill in that folder.
  std::vector<SkillParameter> parameters(const std::string& skillFolder) {
    return readSkillParameters(fileSystem_, skillFolder);
  }

  // A skill as list() finds it: its id, its SKILL.md description, where it lives ("workspace" or
  // "store"), its folder and its parameters.
  struct Listed {
    std::string skillId;
    std::string description;
    std::string location;
    std::string path;
    std::vector<SkillParameter> parameters;
  };
  // The skills of the workspace (when given) and of the local store, each folder with a SKILL.md
  // whose name obeys kSkillNameRule; links and other names are passed over. Sorted by id, the
  // workspace's first.
  std::vector<Listed> list(const std::optional<std::string>& workspacePath);

  const std::string& localStore() const { return localStore_; }

 private:
  FileSystem& fileSystem_;
  std::string localStore_;
};

}  // namespace diruri
