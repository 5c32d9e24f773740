; The two folders, checked and taken by the plug-in KestrelonSetup (setup/ in the sources):
; - the program folder: SYSTEM and Administrators full control, Users read and run;
; - the settings folder: SYSTEM and Administrators full control; Users may list it, create files
;   in it and change those files (KestrelonScan pins the device there), but not delete, rename or
;   re-permission the folder, nor remove the setup's own file in it, which keeps the folder from
;   ever being empty (and so from being made a mount point); a file's creator gets no more than
;   the other users.
; Both are owned by Administrators, with lists of their own that inherit nothing. Every folder
; from the drive's root down is opened as itself, following no junction, mount point or link,
; and held until the setup ends; a folder on the way that ordinary users could rename or
; re-permission is refused, and one the setup makes on the way gets the program folder's rights.
; An existing folder is taken only when its owner is an administrator; it is locked to
; administrators before what is in it is looked at, and must hold only files of ours, each a
; plain file with one name. The setup writes in the settings folder only through its handle.

Var FolderInQuestion ; the folder a refusal names
Var FolderFault ; the plug-in's word for why a folder is refused, "" when it is not

; $R0 = what the setup says of $FolderFault ("" for none), $R1 = its exit code.
!macro FolderRefusal
  KestrelonSetup::Named
  Pop $FolderInQuestion
  StrCpy $R1 ${EXIT_FOLDER_REFUSED}
  ${Select} $FolderFault
  ${Case} ""
    StrCpy $R0 ""
  ${Case} "program_form"
    StrCpy $R0 "${TEXT_PROGRAM_FOLDER_FORM}"
    StrCpy $R1 ${EXIT_BAD_OPTION}
  ${Case} "settings_form"
    StrCpy $R0 "${TEXT_SETTINGS_FOLDER_FORM}"
    StrCpy $R1 ${EXIT_BAD_OPTION}
  ${Case} "place"
    StrCpy $R0 "${TEXT_SETTINGS_FOLDER_PLACE}"
    StrCpy $R1 ${EXIT_BAD_OPTION}
  ${Case} "link"
    StrCpy $R0 "${TEXT_FOLDER_IS_A_LINK}"
  ${Case} "users_may_change"
    StrCpy $R0 "${TEXT_FOLDER_ON_THE_WAY}"
  ${Case} "users_could_write"
    StrCpy $R0 "${TEXT_FOLDER_OPEN_TO_USERS}"
  ${Case} "not_administrators"
    StrCpy $R0 "${TEXT_FOLDER_NOT_ADMINISTRATORS}"
  ${Case} "not_ours"
    StrCpy $R0 "${TEXT_FOLDER_NOT_OURS}"
  ${Case} "rights_not_set"
    StrCpy $R0 "${TEXT_RIGHTS_NOT_SET}"
    StrCpy $R1 ${EXIT_RIGHTS_NOT_SET}
  ${Case} "not_given_back"
    StrCpy $R0 "${TEXT_NOTHING_INSTALLED} ${TEXT_RIGHTS_NOT_GIVEN_BACK}"
    StrCpy $R1 ${EXIT_RIGHTS_NOT_SET}
  ${Case} "not_removed"
    StrCpy $NotWritten $FolderInQuestion
    StrCpy $R0 "${TEXT_OLD_FILE_NOT_REMOVED}"
    StrCpy $R1 ${EXIT_NOT_WRITTEN}
  ${CaseElse}
    StrCpy $R0 "${TEXT_FOLDER_NOT_WRITTEN}"
    StrCpy $R1 ${EXIT_NOT_WRITTEN}
  ${EndSelect}
!macroend

; Ends the setup on FolderRefusal's $R0 and $R1, saying that nothing was installed (a folder's
; rights that could not be set have a text of their own for that).
!macro RefuseFolder
  ${IfThen} $R1 != ${EXIT_RIGHTS_NOT_SET} ${|} StrCpy $R0 "$R0 ${TEXT_NOTHING_INSTALLED}" ${|}
  !insertmacro Refuse $R1 $R0
!macroend

; Checks $INSTDIR by its path and as it stands on the disk, and writes it back in its full,
; long form: $R0 why it is refused ("" when it is not), $R1 the exit code.
Function CheckProgramFolder
  KestrelonSetup::ProgramFolder $INSTDIR
  Pop $FolderFault
  !insertmacro FolderRefusal
  ${If} $R0 == ""
    KestrelonSetup::FullPath $INSTDIR
    Pop $INSTDIR
  ${EndIf}
FunctionEnd

; The same for $SettingsFolder, which must also keep away from the program folder, Program
; Files and Windows: its users may write in it.
Function CheckSettingsFolder
  KestrelonSetup::SettingsFolder $SettingsFolder $INSTDIR $PROGRAMFILES $PROGRAMFILES64 $WINDIR
  Pop $FolderFault
  !insertmacro FolderRefusal
  ${If} $R0 == ""
    KestrelonSetup::FullPath $SettingsFolder
    Pop $SettingsFolder
  ${EndIf}
FunctionEnd

; Both folders checked again and taken for the install: both are looked at before either is
; changed, so a refusal leaves the disk as it was (nothing installed). The plug-in holds them
; until the setup ends.
Function TakeFolders
  KestrelonSetup::TakeFolders $SettingsFolder $INSTDIR $PROGRAMFILES $PROGRAMFILES64 $WINDIR
  Pop $FolderFault
  !insertmacro FolderRefusal
  ${If} $R0 != ""
    !insertmacro RefuseFolder
  ${EndIf}
FunctionEnd
