// The Windows side of the file services, for code that already holds a folder handle.
#pragma once

#include <memory>
#include <string>

#include "file_system.h"
#include "nt_file_win32.h"

namespace kestrelon {

// A Folder over FOLDER, a handle the caller opened as itself with at least
// FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES. SHOWN_PATH is what messages name.
std::unique_ptr<Folder> adopt_folder(kestrelon::nt::Handle folder, std::wstring shown_path);

}  // namespace kestrelon
