/* Resource identifiers shared by kestrelon.rc and the program. */
#pragma once

#define IDI_KESTRELON 1     /* application icon group */
#define IDR_TRAY_ICON 101   /* tray icon file, stored whole as RCDATA */
