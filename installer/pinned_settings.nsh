; Kestrelon.ini written by the setup (/COM and /PORT) by the very code KestrelonScan pins it
; with, in the settings folder the plug-in holds: whole or not at all, and nothing written when
; it already holds those settings.

Var PinnedFile ; the file a pin's box names
Var PinnedReason ; the system's words for what failed

; Pins $PinnedPort and $PinnedSpeed; when it fails, gives both folders back as the install found
; them (or says which could not be) and refuses: nothing is installed.
Function PinSettings
  KestrelonSetup::PinSettings $PinnedPort $PinnedSpeed
  Pop $R0 ; the outcome
  KestrelonSetup::Named
  Pop $PinnedFile
  KestrelonSetup::Reason
  Pop $PinnedReason
  ${Select} $R0
  ${Case2} "pinned" "already_pinned"
    Return
  ${Case} "read_only"
    StrCpy $R0 "${TEXT_SETTINGS_READ_ONLY}"
  ${Case} "old_kept_aside"
    StrCpy $R0 "${TEXT_SETTINGS_OLD_KEPT_ASIDE}"
  ${CaseElse}
    StrCpy $R0 "${TEXT_SETTINGS_NOT_WRITTEN}"
  ${EndSelect}
  KestrelonSetup::GiveBackFolders
  Pop $R1
  ${If} $R1 != ""
    KestrelonSetup::Named
    Pop $FolderInQuestion
    StrCpy $R0 "$R0$\r$\n$\r$\n${TEXT_RIGHTS_NOT_GIVEN_BACK}"
  ${EndIf}
  !insertmacro Refuse ${EXIT_NOT_WRITTEN} "$R0"
FunctionEnd
