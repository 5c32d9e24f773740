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

Var FolderInQuestion ; the value or folder a refusal names
Var FolderDetail ; the character or the drive it names
Var FolderExample ; a folder the page would accept instead
Var FolderFault ; the plug-in's word for why a folder is refused, "" when it is not
Var ProgramFolderTyped ; the program folder as typed or given, before it is judged
Var SettingsChosen ; "1" once the settings folder is given, recorded or chosen on its page: the
                   ; program folder keeps away from it; else it is a proposal, moved away instead

; $R0 = what the setup says of $FolderFault for folder KIND ("" for none), $R1 = its exit code:
; a value that cannot be a folder of ours is a bad value, a folder found on the disk is refused.
!macro FolderRefusal KIND
  KestrelonSetup::Named
  Pop $FolderInQuestion
  KestrelonSetup::Reason
  Pop $FolderDetail
  ${If} $FolderFault != ""
    KestrelonSetup::Proposal ${KIND} $FolderInQuestion $SettingsFolder $INSTDIR $PROGRAMFILES $PROGRAMFILES64 $WINDIR
    Pop $FolderExample
  ${EndIf}
  StrCpy $R1 ${EXIT_BAD_OPTION}
  ${Select} $FolderFault
  ${Case} ""
    StrCpy $R0 ""
  ${Case} "not_whole"
    StrCpy $R0 "${TEXT_FOLDER_NOT_WHOLE}"
  ${Case} "drive_root"
    StrCpy $R0 "${TEXT_FOLDER_DRIVE_ROOT}"
  ${Case} "bad_character"
    StrCpy $R0 "${TEXT_FOLDER_BAD_CHARACTER}"
  ${Case} "bad_name_end"
    StrCpy $R0 "${TEXT_FOLDER_BAD_NAME_END}"
  ${Case} "too_long"
    StrCpy $R0 "${TEXT_FOLDER_TOO_LONG}"
  ${Case} "drive_missing"
    StrCpy $R0 "${TEXT_FOLDER_DRIVE_MISSING}"
  ${Case} "not_fixed_disk"
    StrCpy $R0 "${TEXT_FOLDER_NOT_FIXED_DISK}"
  ${Case} "in_system_folder"
    StrCpy $R0 "${TEXT_SETTINGS_IN_SYSTEM_FOLDER}"
  ${Case} "with_other_folder"
    !if ${KIND} == program
      StrCpy $R0 "${TEXT_PROGRAM_WITH_SETTINGS_FOLDER}"
    !else
      StrCpy $R0 "${TEXT_SETTINGS_WITH_PROGRAM_FOLDER}"
    !endif
  ${CaseElse}
    StrCpy $R1 ${EXIT_FOLDER_REFUSED}
    ${Select} $FolderFault
    ${Case} "link"
      StrCpy $R0 "${TEXT_FOLDER_IS_A_LINK}"
    ${Case} "users_may_change"
      StrCpy $R0 "${TEXT_FOLDER_ON_THE_WAY}"
    ${Case} "users_could_write"
      StrCpy $R0 "${TEXT_FOLDER_OPEN_TO_USERS}"
    ${Case} "not_administrators"
      StrCpy $R0 "${TEXT_FOLDER_NOT_ADMINISTRATORS}"
    ${Case} "is_a_file"
      StrCpy $R0 "${TEXT_FOLDER_IS_A_FILE}"
    ${Case} "not_ours"
      StrCpy $R0 "${TEXT_FOLDER_NOT_OURS}"
    ${Case} "portable_copy"
      StrCpy $R0 "${TEXT_FOLDER_PORTABLE_COPY}"
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
  ${EndSelect}
!macroend

; Ends the setup on FolderRefusal's $R0 and $R1, saying that nothing was installed (a folder's
; rights that could not be set have a text of their own for that).
!macro RefuseFolder
  ${IfThen} $R1 != ${EXIT_RIGHTS_NOT_SET} ${|} StrCpy $R0 "$R0$\r$\n$\r$\n${TEXT_NOTHING_INSTALLED}" ${|}
  !insertmacro Refuse $R1 $R0
!macroend

; Judges the program folder on top of the stack (typed, or given), taken off, whole: its path,
; its drive, the settings folder once chosen, as it stands on the disk. $R0 why it is refused
; ("" when it is not), $R1 the exit code; accepted, $INSTDIR is it in its full, long form. The
; value never goes through $INSTDIR before: NSIS reshapes what is put there (it drops a ":" it
; finds misplaced, say), and a value must be judged as it was typed.
Function CheckProgramFolder
  Exch $0 ; the folder
  Push $1
  StrCpy $1 ""
  ${IfThen} $SettingsChosen == 1 ${|} StrCpy $1 $SettingsFolder ${|}
  KestrelonSetup::CheckFolder program $1 $0 $PROGRAMFILES $PROGRAMFILES64 $WINDIR
  Pop $FolderFault
  !insertmacro FolderRefusal program
  ${IfThen} $R0 == "" ${|} StrCpy $INSTDIR $FolderInQuestion ${|}
  Pop $1
  Pop $0
FunctionEnd

; The same for the settings folder on top of the stack, which must also keep away from the
; program folder, Program Files and Windows: its users may write in it. Accepted, it is
; $SettingsFolder.
Function CheckSettingsFolder
  Exch $0 ; the folder
  KestrelonSetup::CheckFolder settings $0 $INSTDIR $PROGRAMFILES $PROGRAMFILES64 $WINDIR
  Pop $FolderFault
  !insertmacro FolderRefusal settings
  ${IfThen} $R0 == "" ${|} StrCpy $SettingsFolder $FolderInQuestion ${|}
  Pop $0
FunctionEnd

; Both folders checked again and taken for the install: both are looked at before either is
; changed, so a refusal leaves the disk as it was (nothing installed). The plug-in holds them
; until the setup ends.
Function TakeFolders
  KestrelonSetup::TakeFolders $SettingsFolder $INSTDIR $PROGRAMFILES $PROGRAMFILES64 $WINDIR
  Pop $FolderFault
  !insertmacro FolderRefusal settings
  ${If} $R0 != ""
    !insertmacro RefuseFolder
  ${EndIf}
FunctionEnd
