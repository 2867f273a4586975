// Generating, installing and finding skills.
#include "core/skill/skill_library.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <map>
#include <vector>

#include "core/platform/path.hpp"
#include "core/skill/skill_steps.hpp"
#include "core/store/event_log.hpp"
#include "core/store/event_records.hpp"
#include "core/store/workspace_layout.hpp"

namespace diruri {

namespace {

constexpr char kSkillDocument[] = "SKILL.md";

bool isInputEvent(const JsonObject& event) {
  const std::string* type = findStringMember(event, "type");
  return type && (*type == "mouse_down" || *type == "mouse_up" || *type == "key_down" || *type == "key_up" ||
                  *type == "scroll");
}

// A name beside `path` for a folder being made, unique in this process and across processes.
std::string temporaryBeside(const std::string& path, const char* purpose) {
  static std::atomic<uint64_t> counter{0};
  return joinPath(parentDirectory(path), "." + baseName(path) + "." + purpose + "-" +
                                             std::to_string(::getpid()) + "-" +
                                             std::to_string(counter.fetch_add(1)));
}

// A title from an id: "checkout-flow" reads "Checkout flow".
std::string titleOf(const std::string& skillId) {
  std::string title = skillId;
  for (char& c : title) {
    if (c == '-' || c == '_') c = ' ';
  }
  if (!title.empty() && title[0] >= 'a' && title[0] <= 'z')
    title[0] = static_cast<char>(title[0] - 'a' + 'A');
  return title;
}

// A double-quoted YAML scalar on one line.
std::string yamlQuoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c == '\n' ? ' ' : c;
  }
  return out + "\"";
}

std::string lowerFirst(std::string text) {
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

// The applications in the order they came to the front, each with its window titles.
std::vector<std::pair<std::string, std::vector<std::string>>> applicationsOf(
    const std::vector<JsonObject>& events) {
  std::vector<std::pair<std::string, std::vector<std::string>>> apps;
  for (const JsonObject& event : events) {
    const JsonObject* payload = findObjectMember(event, "payload");
    const JsonObject* app = payload ? findObjectMember(*payload, "app") : nullptr;
    const std::string* name = app ? findStringMember(*app, "appName") : nullptr;
    if (!name) continue;
    auto it = std::find_if(apps.begin(), apps.end(), [&](const auto& a) { return a.first == *name; });
    if (it == apps.end()) it = apps.insert(apps.end(), {*name, {}});
    const std::string* title = findStringMember(*app, "windowTitle");
    if (title && std::find(it->second.begin(), it->second.end(), *title) == it->second.end())
      it->second.push_back(*title);
  }
  return apps;
}

std::string skillDocument(const std::string& skillId, const SessionMetadata& session,
                          const std::vector<SkillStep>& steps,
                          const std::vector<std::pair<std::string, std::vector<std::string>>>& apps) {
  std::string appNames;
  for (const auto& [name, titles] : apps) appNames += (appNames.empty() ? "" : ", ") + name;
  std::string summary = std::to_string(steps.size()) + (steps.size() == 1 ? " step" : " steps");
  if (!steps.empty())
    summary = lowerFirst(steps.front().words) + (steps.size() > 1 ? " and more, " : ", ") + summary;
  const std::string description = "Replays a task recorded " +
                                  (appNames.empty() ? std::string("on the desktop") : "in " + appNames) +
                                  ": " + summary + ".";

  std::string doc = "---\nname: " + skillId + "\ndescription: " + yamlQuoted(description) + "\n---\n\n";
  doc += "# " + titleOf(skillId) + "\n\n";
  doc += "A task a person showed once, recorded on " + session.startedAt + " (session `" + session.sessionId +
         "`), to be replayed as it was done.\n\n";
  doc += "## Applications and windows\n\n";
  if (apps.empty()) doc += "- No application was in front while it was recorded.\n";
  for (const auto& [name, titles] : apps) {
    doc += "- " + name;
    for (size_t i = 0; i < titles.size(); ++i) doc += (i == 0 ? ": \"" : ", \"") + titles[i] + "\"";
    doc += "\n";
  }
  doc += "\n## Steps\n\n";
  if (steps.empty()) doc += "The recording holds no input.\n";
  for (size_t i = 0; i < steps.size(); ++i) doc += std::to_string(i + 1) + ". " + steps[i].words + "\n";
  std::string secrets;
  for (size_t i = 0; i < steps.size(); ++i)
    if (steps[i].kind == "password") secrets += (secrets.empty() ? "" : ", ") + std::to_string(i + 1);
  if (!secrets.empty()) {
    doc += "\n## Notes\n\n";
    doc += "- Step" + std::string(secrets.find(',') == std::string::npos ? " " : "s ") + secrets +
           " typed a password, which was not recorded: ask the person for it, and type it into that field "
           "yourself. The replay skips those keys (their steps say \"skipped\" with the reason "
           "\"redacted\") and goes on without waiting for it.\n";
  }
  doc += "\n## How to run it\n\n";
  doc +=
      "Call the MCP tool `replay_skill` with this skill id and the absolute path of a workspace (the one "
      "that holds the skill, or any workspace once the skill is installed in the local skill store):\n\n";
  doc += "    {\"skillId\": \"" + skillId + "\", \"workspacePath\": \"/path/to/workspace\"}\n\n";
  doc +=
      "`speed` sets the pace: 1 (the default) keeps the recorded pauses, 2 halves them, 0 posts the "
      "events back to back. Each key and click waits up to 10 s for the window it was recorded in, "
      "and clicks land at the same place inside that window wherever it is now. `replay_status` "
      "reports how far a replay has come and `replay_stop` stops it; the answer and the run's "
      "`run.json` give each step's status (\"replayed\", \"failed\" or \"skipped\").\n\n";
  doc +=
      "The recorded events are in `references/events.jsonl`; `references/steps.json` lists the steps above "
      "as data.\n";
  return doc;
}

// Copies the directory `from` to `to` (which must not exist yet), file by file.
void copyTree(FileSystem& fs, const std::string& from, const std::string& to) {
  fs.createDirectories(to);
  for (const FileSystem::Entry& entry : fs.listDirectory(from)) {
    const std::string source = joinPath(from, entry.name);
    const std::string target = joinPath(to, entry.name);
    if (entry.isDirectory) {
      copyTree(fs, source, target);
    } else {
      fs.writeFileAtomically(target, fs.readFile(source));
    }
  }
}

// Runs `make` on a folder being made; removes what it left when it fails, and passes the failure on.
template <typename Make>
void building(FileSystem& fs, const std::string& folder, Make make) {
  try {
    make();
  } catch (...) {
    try {
      fs.removeTree(folder);
    } catch (const FileSystemError&) {
      // what could not be removed stays, under its hidden temporary name
    }
    throw;
  }
}

}  // namespace

SkillNotFound::SkillNotFound(const std::string& skillId, const std::string& lookedIn)
    : FileSystemError(ENOENT, "find skill", skillId),
      reason_("The skill \"" + skillId + "\" was not found in " + lookedIn + ".") {}

std::string findSkill(FileSystem& fileSystem, const std::string& workspace, const std::string& localStore,
                      const std::string& skillId) {
  const std::string own = layout::skillDirectory(workspace, skillId);
  if (fileSystem.fileExists(own)) return own;
  std::string lookedIn = parentDirectory(own);
  if (!localStore.empty()) {
    const std::string installed = joinPath(localStore, skillId);
    if (fileSystem.fileExists(installed)) return installed;
    lookedIn += " or " + localStore;
  }
  throw SkillNotFound(skillId, lookedIn);
}

std::string defaultLocalSkillStore(const char* xdgDataHome, const char* home) {
  if (xdgDataHome != nullptr && xdgDataHome[0] == '/') return joinPath(xdgDataHome, "diruri-rediro/skills");
  if (home != nullptr && home[0] == '/') return joinPath(home, ".local/share/diruri-rediro/skills");
  return {};
}

GeneratedSkill SkillLibrary::generate(const std::string& workspacePath, const std::string& sessionId,
                                      const std::optional<std::string>& skillIdArgument) {
  FileSystem& fs = fileSystem_;
  const std::string workspace = layout::absoluteWorkspace(fs, workspacePath);
  const std::string sessionPath = layout::sessionDirectory(workspace, sessionId);
  const std::string metadataPath = joinPath(sessionPath, layout::kSessionFile);
  if (!fs.fileExists(metadataPath)) {
    throw SkillError("The session \"" + sessionId + "\" does not exist: there is no " + metadataPath + ".");
  }
  const SessionMetadata session = SessionMetadata::fromJson(parseJson(fs.readFile(metadataPath)));
  if (session.status == "recording") {
    throw SkillError("The session \"" + sessionId +
                     "\" is still recording; stop it with event_stream_stop first.");
  }
  const std::string logPath = joinPath(sessionPath, layout::kEventsFile);
  std::string log;
  try {
    log = fs.readFile(logPath);
  } catch (const FileSystemError& e) {
    throw SkillError("The log of the session \"" + sessionId + "\" cannot be read: " + e.what() + ".");
  }
  std::vector<JsonObject> events;
  forEachEvent(log, logPath, LogReading::Lenient, [&](JsonObject& event) {
    if (isInputEvent(event)) events.push_back(std::move(event));
  });

  std::string skillId;
  if (skillIdArgument) {
    skillId = *skillIdArgument;
  } else {
    const JsonValue summary = parseJson(fs.readFile(joinPath(sessionPath, layout::kSummaryFile)));
    const std::string* recommended = summary.findString("recommendedSkillId");
    if (!recommended || recommended->empty()) {
      throw SkillError("The session \"" + sessionId +
                       "\" recommends no skill id (no application was in front); give one as skillId.");
    }
    skillId = *recommended;
  }
  const std::string skillPath = layout::skillDirectory(workspace, skillId);
  if (fs.fileExists(skillPath)) {
    throw SkillError("The skill \"" + skillId + "\" exists already at " + skillPath +
                     "; a generated skill is never overwritten: choose another skillId.");
  }

  const std::vector<SkillStep> steps = describeSteps(events);
  std::string replayable;
  for (const JsonObject& event : events) replayable += writeJson(JsonValue(event)) + "\n";
  JsonArray stepValues;
  for (const SkillStep& step : steps) stepValues.push_back(step.toJson());

  const std::string staging = temporaryBeside(skillPath, "generating");
  building(fs, staging, [&] {
    fs.createDirectories(joinPath(staging, "references"));
    fs.writeFileAtomically(layout::skillRecordingReference(staging),
                           writeJson(JsonObject{{"sessionId", sessionId}}, JsonLayout::Pretty));
    fs.writeFileAtomically(joinPath(staging, layout::kSkillEventsFile), replayable);
    fs.writeFileAtomically(joinPath(staging, "references/steps.json"),
                           writeJson(stepValues, JsonLayout::Pretty));
    fs.writeFileAtomically(joinPath(staging, kSkillDocument),
                           skillDocument(skillId, session, steps, applicationsOf(events)));
    try {
      fs.moveNoReplace(staging, skillPath);
    } catch (const FileSystemError& e) {
      if (e.code() == std::errc::file_exists) {
        throw SkillError("The skill \"" + skillId + "\" exists already at " + skillPath +
                         "; a generated skill is never overwritten: choose another skillId.");
      }
      throw;
    }
  });
  return GeneratedSkill{skillId, skillPath, steps.size()};
}

std::string SkillLibrary::install(const std::string& workspacePath, const std::string& skillId,
                                  const std::optional<std::string>& destination) {
  FileSystem& fs = fileSystem_;
  const std::string workspace = layout::absoluteWorkspace(fs, workspacePath);
  const std::string source = layout::skillDirectory(workspace, skillId);
  if (!fs.fileExists(joinPath(source, kSkillDocument))) {
    throw SkillError("The skill \"" + skillId + "\" was not generated: there is no " +
                     joinPath(source, kSkillDocument) + ".");
  }
  if (!destination && localStore_.empty()) {
    throw SkillError(
        "There is no local skill store: neither XDG_DATA_HOME nor a home directory is known; give a "
        "destination.");
  }
  const std::string store = layout::absoluteWorkspace(fs, destination ? *destination : localStore_);
  const std::string installed = joinPath(store, skillId);
  try {
    fs.createDirectories(store);
    const std::string copy = temporaryBeside(installed, "installing");
    building(fs, copy, [&] {
      copyTree(fs, source, copy);
      if (!fs.fileExists(installed)) {
        fs.moveNoReplace(copy, installed);
        return;
      }
      // Swapped in whole: an agent reading the installed skill sees the old copy or the new one.
      fs.exchange(copy, installed);
    });
    if (fs.fileExists(copy)) fs.removeTree(copy);  // the old copy, now under the temporary name
  } catch (const FileSystemError& e) {
    throw SkillError("The skill could not be installed into " + store + ": " + e.what() + ".");
  }
  return installed;
}

}  // namespace diruri
