; The setup program's command line, read and checked by the plug-in in .onInit before anything
; is installed:
;   /S [/COM=COMn /PORT=speed | /COM=AUTO] [/ORA=HH:MM] [/SETARI=folder] [/D=folder]
; A bad option or value ends the setup with EXIT_BAD_OPTION and installs nothing: a mistyped
; option must not be ignored (a fleet's script would take the install for what it asked). /S
; anywhere on the line, in any case or quoting (NSIS itself takes /S only as written, and only
; before /D=), makes the setup silent first of all: no window waits for an answer in a fleet's
; script, not even the one that refuses the line.

; Silent when /S is anywhere on the line (the setup and the uninstaller alike).
!macro SilentWhenAsked
  KestrelonSetup::Option silent
  Pop $0
  ${IfThen} $0 == 1 ${|} SetSilent silent ${|}
!macroend

; Reads the options into $ProgramFolderTyped (/D='s, else $INSTDIR), $PinnedPort, $PinnedSpeed,
; $SearchDevice, $DailyTime and $SettingsFolder (which hold the earlier install's values or the
; defaults); refuses a bad one. A folder is taken as it was meant: spaces at its ends dropped,
; "/" read as "\".
Function ReadOptions
  Push $0
  KestrelonSetup::ReadOptions $INSTDIR
  Pop $0
  ${Select} $0
  ${Case} ""
  ${Case} "line_too_long"
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_COMMAND_LINE_TOO_LONG}"
  ${Case} "program_form"
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_PROGRAM_FOLDER_OPTION_FORM}"
  ${Case} "bad_port"
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_BAD_PORT}"
  ${Case} "bad_speed"
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_BAD_SPEED}"
  ${Case} "bad_time"
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_BAD_TIME}"
  ${Case} "port_without_speed"
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_PORT_WITHOUT_SPEED}"
  ${Case} "search_with_speed"
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_SEARCH_WITH_SPEED}"
  ${CaseElse}
    KestrelonSetup::Named
    Pop $0
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_UNKNOWN_OPTION}"
  ${EndSelect}

  KestrelonSetup::Option program
  Pop $ProgramFolderTyped
  KestrelonSetup::Option port
  Pop $PinnedPort
  KestrelonSetup::Option speed
  Pop $PinnedSpeed
  ${IfThen} $PinnedPort != "" ${|} StrCpy $PortGiven 1 ${|}
  KestrelonSetup::Option search
  Pop $SearchDevice
  KestrelonSetup::Option time
  Pop $0
  ${If} $0 != "" ; never on Windows XP, where the setup makes no task
    ${IfNot} ${AtLeastWinVista}
      !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_NO_TASK_ON_XP}"
    ${EndIf}
    StrCpy $DailyTime $0
  ${EndIf}
  KestrelonSetup::Option settings_given
  Pop $0
  ${If} $0 == 1
    KestrelonSetup::Option settings
    Pop $SettingsFolder
    StrCpy $SettingsChosen 1
  ${EndIf}

  ; The folders, checked at once when silent or given; in the wizard their pages check them.
  ${If} ${Silent}
    Push $ProgramFolderTyped
    Call CheckProgramFolder
    ${If} $R0 != ""
      !insertmacro RefuseFolder
    ${EndIf}
  ${EndIf}
  KestrelonSetup::Option settings_given
  Pop $0
  ${If} $0 == 1
  ${OrIf} ${Silent}
    Push $SettingsFolder
    Call CheckSettingsFolder
    ${If} $R0 != ""
      !insertmacro RefuseFolder
    ${EndIf}
  ${EndIf}
  Pop $0
FunctionEnd
