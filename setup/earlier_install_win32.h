// An install moved to another program folder: the earlier install's programs and uninstaller go,
// so that one install stays registered and no uninstaller is left that refuses to run (it is no
// longer the one Add/Remove Programs knows).
#pragma once

#include <string>

namespace kestrelon::setup {

// Removes the files of the install that was in EARLIER (a program folder Add/Remove Programs
// recorded) and, when empty, the folder itself, through the folder held as the setup holds its
// own; nothing when EARLIER is PROGRAM (the folder installed now) or is gone. False, with what
// was left in LEFT, when a file of it cannot be removed or the folder is not as an install left
// it.
bool remove_earlier_install(const std::wstring& earlier, const std::wstring& program,
                            std::wstring& left);

}  // namespace kestrelon::setup
