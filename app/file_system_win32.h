// The Windows side of the file services: what the path-based services and the held folder
// share, and the held folder for code that already holds a folder handle (the setup).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "app/file_system.h"
#include "common/unique_handle_win32.h"

namespace kestrelon {

// A Folder over FOLDER, a handle the caller opened as itself with at least
// FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES. SHOWN_PATH is what messages name.
std::unique_ptr<Folder> adopt_folder(UniqueHandle folder, std::wstring shown_path);

// A failure with the system's own words for the Win32 error code, in the user's language.
FileResult failure_of(DWORD error);

// The file services over a handle opened for reading, or for writing a new file.
std::unique_ptr<ReadableFile> readable_file(UniqueHandle file);
std::unique_ptr<NewFile> new_file(UniqueHandle file);

}  // namespace kestrelon
