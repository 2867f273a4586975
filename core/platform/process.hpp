// Whether a process is there: for telling a folder a crashed process left from one being made.
#pragma once

namespace diruri {

// This process's id.
int currentProcessId();

// True when a process with this id exists (whoever owns it); false once it is gone.
bool processExists(int processId);

}  // namespace diruri
