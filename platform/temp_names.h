// Temporary file names for sound stores: QUAVn.TMP (AU-style temporary stores) and QUAVn.WAV
// (temporary WAVE files), numbered from 0 by a process-wide counter.
//
// Names are made in the temporary folder (the Media folder), or in the system's temporary folder
// when that folder does not exist. A name is handed out only after the file has been created
// exclusively, so a name that already exists (another instance's file) is skipped and never
// touched; DeleteTempFiles removes exactly the files this process created.
#pragma once

#include <string>
#include <vector>

namespace platform {

// The folder temporary names are made in (normally the Media folder). An empty path, or one
// that does not exist when a name is asked for, means the system's temporary folder.
void SetTempFolder(const std::string& folder);
std::string TempFolder();

// A new temporary name: QUAVn.TMP when forTemporary is set, otherwise QUAVn.WAV. The file
// exists (empty) when the call returns. Empty when no file could be created.
std::string GetTempName(bool forTemporary);

// Deletes every temporary file this process created and forgets them.
void DeleteTempFiles();

// The files created so far, in order (tests and diagnostics).
std::vector<std::string> CreatedTempFiles();

// The counter's next value, and a reset for tests (forgets, does not delete, created files).
unsigned TempCounter();
void ResetTempNamesForTesting();

} // namespace platform
