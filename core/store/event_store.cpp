// The session store: creating, loading and stopping sessions, appending to and reading the log.
#include "core/store/event_store.hpp"

#include <cerrno>
#include <cmath>
#include <unordered_set>

#include "core/platform/path.hpp"
#include "core/store/event_log.hpp"
#include "core/store/workspace_layout.hpp"
#include "core/text/unicode.hpp"

namespace diruri {

namespace {

// Key codes and coordinates are the recording machine's; readers must know which platform that was.
constexpr const char* kPlatform = "linux";
constexpr size_t kMaxSlugLength = 48;
constexpr size_t kMaxSessionIdLength = 80;
constexpr size_t kMaxSummarySteps = 50;

bool holdsNonFiniteNumber(const JsonValue& v) {
  switch (v.kind()) {
    case JsonValue::Kind::Number:
      return !v.holdsInteger() && !std::isfinite(v.asDouble());
    case JsonValue::Kind::Array:
      for (const JsonValue& e : v.asArray()) {
        if (holdsNonFiniteNumber(e)) return true;
      }
      return false;
    case JsonValue::Kind::Object:
      for (const auto& [key, member] : v.asObject()) {
        if (holdsNonFiniteNumber(member)) return true;
      }
      return false;
    default:
      return false;
  }
}

// The writer refuses both non-finite numbers and strings that are not UTF-8. A number is the
// encoder's own error and passes on as it is; anything else means the text would not be UTF-8.
std::string encode(const JsonValue& value, JsonLayout layout) {
  try {
    return writeJson(value, layout);
  } catch (const JsonEncodeError&) {
    if (holdsNonFiniteNumber(value)) throw;
    throw EventStoreError(EventStoreError::Code::encodingFailed);
  }
}

// Keeps each string once, in the order first seen, leaving out blank ones; two that differ only in
// white space at either end count as one.
class UniqueStrings {
 public:
  void add(const std::string& s) {
    const std::string_view trimmed = trimUnicodeWhitespace(s);
    if (trimmed.empty() || !seen_.emplace(trimmed).second) return;
    kept_.push_back(s);
  }
  std::vector<std::string> take() { return std::move(kept_); }

 private:
  std::vector<std::string> kept_;
  std::unordered_set<std::string> seen_;
};

}  // namespace

EventStore::EventStore(FileSystem& fileSystem, Clock& clock) : fileSystem_(fileSystem), clock_(clock) {}

RecordingSession EventStore::createSession(const std::string& workspacePath,
                                           const std::optional<std::string>& sessionName) {
  const std::string workspace = layout::absoluteWorkspace(fileSystem_, workspacePath);
  const std::string sessionId = makeSessionId(sessionName, clock_.wallMillis());
  const std::string sessionPath = layout::sessionDirectory(workspace, sessionId);

  fileSystem_.createDirectories(joinPath(sessionPath, layout::kScreenshotsFolder));
  fileSystem_.createDirectories(joinPath(sessionPath, layout::kSnapshotsFolder));

  RecordingSession session;
  session.sessionId = sessionId;
  session.workspaceId = workspaceIdentifier(workspace);
  session.workspacePath = workspace;
  session.sessionPath = sessionPath;
  // Read afresh: the identifier's time can be a few milliseconds older than the creation.
  session.startedAt = formatIso8601(clock_.wallMillis());

  writeSessionMetadata(session, "recording");

  RecordingEvent started = RecordingEvent::of(EventType::kSessionStarted);
  started.id = sessionId + "-session_started";
  started.ts = session.startedAt;
  started.monotonicMs = clock_.uptimeMillis();
  started.payload.sessionId = sessionId;
  appendEvent(started, session);
  return session;
}

RecordingSession EventStore::loadSession(const std::string& workspacePath, const std::string& sessionId) {
  const std::string workspace = layout::absoluteWorkspace(fileSystem_, workspacePath);
  const std::string sessionPath = layout::sessionDirectory(workspace, sessionId);
  const std::string metadataPath = joinPath(sessionPath, layout::kSessionFile);
  // The identifier comes from the agent; one that names another directory would let a stop
  // write outside the sessions folder. No identifier the store makes has any of these forms.
  if (!isPlainPathComponent(sessionId)) {
    throw FileSystemError(EINVAL, "read", metadataPath);
  }
  const SessionMetadata metadata = SessionMetadata::fromJson(parseJson(fileSystem_.readFile(metadataPath)));

  RecordingSession session;
  session.sessionId = metadata.sessionId;
  session.workspaceId = metadata.workspaceId;
  session.workspacePath = workspace;
  session.sessionPath = sessionPath;
  session.startedAt = metadata.startedAt;
  session.stoppedAt = metadata.stoppedAt;
  return session;
}

void EventStore::writeSnapshot(const AccessibilitySnapshot& snapshot, const std::string& path) {
  if (path.find('/') != std::string::npos) fileSystem_.createDirectories(parentDirectory(path));
  fileSystem_.writeFileAtomically(path, writeJson(snapshot.toJson(), JsonLayout::Pretty));
}

void EventStore::appendEvent(const RecordingEvent& event, const RecordingSession& session) {
  std::string line = encode(event.toJson(), JsonLayout::Compact);
  line.push_back('\n');
  const std::string path = joinPath(session.sessionPath, layout::kEventsFile);
  // The append itself finds out whether the log exists: a separate test first would cost a path
  // lookup on every event for the sake of the one that starts the log.
  try {
    fileSystem_.appendToFile(path, line);
    return;
  } catch (const FileSystemError& e) {
    if (e.code() != std::errc::no_such_file_or_directory) throw;
  }
  // No log yet. The session directory is never created here: if it is gone, this fails as well.
  fileSystem_.writeFileAtomically(path, line);
}

std::vector<JsonObject> EventStore::readEventObjects(const RecordingSession& session) {
  std::vector<JsonObject> events;
  readEvents(fileSystem_, joinPath(session.sessionPath, layout::kEventsFile), LogReading::Lenient,
             [&](RecordingEvent& event, const EventLine&) { events.push_back(event.toJson().asObject()); });
  return events;
}

std::pair<RecordingSession, std::string> EventStore::stopSession(const RecordingSession& session) {
  RecordingSession stopped = session;
  stopped.stoppedAt = formatIso8601(clock_.wallMillis());

  RecordingEvent event = RecordingEvent::of(EventType::kSessionStopped);
  event.id = session.sessionId + "-session_stopped";
  event.ts = *stopped.stoppedAt;
  event.monotonicMs = clock_.uptimeMillis();
  event.payload.sessionId = session.sessionId;
  appendEvent(event, stopped);

  writeSessionMetadata(stopped, "stopped");
  std::string summaryPath = writeSummary(stopped);
  return {std::move(stopped), std::move(summaryPath)};
}

std::string EventStore::slug(const std::optional<std::string>& text) {
  std::string out;
  if (!text) return out;
  const auto put = [&out](char32_t c) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
      out.push_back(static_cast<char>(c));
    } else if (out.empty() || out.back() != '-') {
      out.push_back('-');
    }
  };
  for (const char32_t c : decodeUtf8(*text)) {
    // The default lowercase mapping, as far as it can yield a-z or 0-9; every other scalar
    // becomes a hyphen whatever its lowercase form is.
    if (c >= 'A' && c <= 'Z') {
      put(c + ('a' - 'A'));
    } else if (c == U'\u212A') {  // KELVIN SIGN
      put(U'k');
    } else if (c == U'\u0130') {  // LATIN CAPITAL LETTER I WITH DOT ABOVE: "i" + COMBINING DOT ABOVE
      put(U'i');
      put(U'\u0307');
    } else {
      put(c);
    }
  }
  const size_t first = out.find_first_not_of('-');
  if (first == std::string::npos) return {};
  out = out.substr(first, out.find_last_not_of('-') - first + 1);
  if (out.size() > kMaxSlugLength) out.resize(kMaxSlugLength);
  return out;
}

std::string EventStore::makeSessionId(const std::optional<std::string>& sessionName, int64_t wallMillis) {
  std::string base = slug(sessionName);
  if (base.empty()) base = "recording";
  std::string id = base + "-" + formatCompactMillis(wallMillis);
  if (id.size() > kMaxSessionIdLength) id.resize(kMaxSessionIdLength);
  return id;
}

void EventStore::writeSessionMetadata(const RecordingSession& session, const std::string& status) {
  SessionMetadata metadata;
  metadata.sessionId = session.sessionId;
  metadata.workspaceId = session.workspaceId;
  metadata.startedAt = session.startedAt;
  metadata.stoppedAt = session.stoppedAt;
  metadata.status = status;
  metadata.platform = kPlatform;
  metadata.helperVersion = DIRURI_VERSION;
  metadata.eventsPath = layout::kEventsFile;
  metadata.metadataVersion = 1;
  fileSystem_.writeFileAtomically(joinPath(session.sessionPath, layout::kSessionFile),
                                  encode(metadata.toJson(), JsonLayout::Pretty));
}

std::string EventStore::writeSummary(const RecordingSession& session) {
  UniqueStrings appNames;
  UniqueStrings windowTitles;
  std::vector<RecordingSummaryStep> steps;
  std::vector<SensitiveHint> hints;
  bool inSecretRun = false;  // the last input event was a redacted key
  // Line by line: a long log is never held whole, nor its names more than once.
  readEvents(fileSystem_, joinPath(session.sessionPath, layout::kEventsFile), LogReading::Lenient,
             [&](RecordingEvent& event, const EventLine&) {
               if (const std::optional<ForegroundAppSnapshot>& app = event.payload.app) {
                 appNames.add(app->appName);
                 if (app->windowTitle) windowTitles.add(*app->windowTitle);
               }
               if (!isInputEvent(event.kind)) return;
               // One hint per run of keys typed into a password field.
               if (event.payload.redacted) {
                 if (!inSecretRun) hints.push_back({{}, "password field"});
                 if (!event.id.empty()) hints.back().evidenceEventIds.push_back(event.id);
                 inSecretRun = true;
               } else {
                 inSecretRun = false;
               }
               if (steps.size() >= kMaxSummarySteps) return;
               RecordingSummaryStep step;
               step.index = static_cast<int64_t>(steps.size());
               step.intent = "Replay " + event.type + ".";
               if (!event.id.empty()) step.evidenceEventIds.push_back(event.id);
               steps.push_back(std::move(step));
             });

  RecordingSummary summary;
  summary.sessionId = session.sessionId;
  summary.apps = appNames.take();
  summary.windows = windowTitles.take();
  if (steps.empty()) {
    RecordingSummaryStep fallback;
    fallback.index = 0;
    fallback.intent = "Recorded native interaction session.";
    fallback.evidenceEventIds = {session.sessionId + "-session_started",
                                 session.sessionId + "-session_stopped"};
    steps.push_back(std::move(fallback));
  }
  summary.steps = std::move(steps);
  summary.sensitiveHints = std::move(hints);
  summary.recommendedSkillId = summary.apps.empty() ? std::string() : slug(summary.apps.front());

  const std::string path = joinPath(session.sessionPath, layout::kSummaryFile);
  fileSystem_.writeFileAtomically(path, encode(summary.toJson(), JsonLayout::Pretty));
  return path;
}

std::string workspaceIdentifier(const std::string& absoluteWorkspace) {
  const size_t slash = absoluteWorkspace.find_last_of('/');
  const std::string last =
      slash == std::string::npos ? absoluteWorkspace : absoluteWorkspace.substr(slash + 1);
  std::string id = EventStore::slug(last);
  return id.empty() ? "workspace" : id;
}

}  // namespace diruri
