; The setup program's command line, read and checked in .onInit before anything is installed:
;   /S [/COM=COMn /PORT=speed] [/ORA=HH:MM] [/SETARI=folder] [/D=folder]
; Arguments are split as every Windows program splits them (CommandLineToArgvW): a folder with
; spaces is quoted, /SETARI="C:\Setari Z" or "/SETARI=C:\Setari Z". Anything else, or a value
; out of its range, ends the setup with EXIT_BAD_OPTION and installs nothing: a mistyped option
; must not be ignored (a fleet's script would take the install for what it asked).
; /S and /NCRC are NSIS's own; so is /D=, which NSIS takes off the command line (it must be
; last and unquoted). NSIS takes /S only as it is; written otherwise ("/S", /s) it is made
; silent here, before anything could show a window that a fleet's script would wait on. A
; line longer than NSIS holds would be cut, and a /D= that NSIS finds unusable replaced by the
; default folder: both are refused.

!define MAX_COM_PORT 256
!define MAX_SPEED_DIGITS 7 ; 1 to 9999999 bits per second
!define MAX_COMMAND_LINE 1023 ; what NSIS keeps of the command line

; When the argument in $3 starts with NAME (any case), $4 = NAME and $5 = the rest.
!macro _OptionWithValue NAME
  ${If} $4 == ""
    StrLen $5 "${NAME}"
    StrCpy $4 $3 $5
    ${If} $4 == "${NAME}"
      StrCpy $5 $3 "" $5
    ${Else}
      StrCpy $4 ""
    ${EndIf}
  ${EndIf}
!macroend

; Reads the options into $PinnedPort, $PinnedSpeed, $DailyTime and $SettingsFolder (which hold
; the earlier install's values or the defaults); refuses a bad one.
Function ReadOptions
  Push $0 ; how many words are left
  Push $1 ; what follows /D=
  Push $3 ; the word
  Push $4 ; the option's name
  Push $5 ; its value
  Push $6 ; 1 when /SETARI is given
  KestrelonSetup::CommandLine $CMDLINE
  Pop $0 ; the whole line's length
  Pop $1
  Pop $3
  ${IfThen} $3 = 1 ${|} SetSilent silent ${|}
  ${If} $0 > ${MAX_COMMAND_LINE}
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_COMMAND_LINE_TOO_LONG}"
  ${EndIf}
  ${If} $1 != ""
    KestrelonSetup::IsWholeFolderPath $1
    Pop $5
    Pop $1
    KestrelonSetup::IsWholeFolderPath $INSTDIR
    Pop $3
    Pop $3
    ${If} $5 != 1
    ${OrIf} $1 != $3 ; NSIS put its default in its place
      !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_PROGRAM_FOLDER_FORM}"
    ${EndIf}
  ${EndIf}

  StrCpy $6 0
  Pop $0 ; how many words
  Pop $3 ; the first is the program itself
  IntOp $0 $0 - 1
  ${DoWhile} $0 > 0
    Pop $3
    IntOp $0 $0 - 1
    ${If} $3 == "/S"
    ${OrIf} $3 S== "/NCRC"
      ${Continue}
    ${EndIf}
    StrCpy $4 ""
    !insertmacro _OptionWithValue "/COM="
    !insertmacro _OptionWithValue "/PORT="
    !insertmacro _OptionWithValue "/ORA="
    !insertmacro _OptionWithValue "/SETARI="
    ${If} $4 == "/COM=" ; COM1 to COM256
      StrCpy $4 $5 3
      StrCpy $5 $5 "" 3
      ${IsPlainNumber} $3 $5 3
      ${If} $4 != "COM"
      ${OrIf} $3 != 1
      ${OrIf} $5 > ${MAX_COM_PORT}
        !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_BAD_PORT}"
      ${EndIf}
      StrCpy $PinnedPort "COM$5" ; as KestrelonScan writes it
    ${ElseIf} $4 == "/PORT=" ; 1 to 9999999 bits per second
      ${IsPlainNumber} $3 $5 ${MAX_SPEED_DIGITS}
      ${If} $3 != 1
        !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_BAD_SPEED}"
      ${EndIf}
      StrCpy $PinnedSpeed $5
    ${ElseIf} $4 == "/ORA=" ; never on Windows XP, where the setup makes no task
      ${IsTimeOfDay} $3 $5
      ${If} $3 != 1
        !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_BAD_TIME}"
      ${EndIf}
      ${IfNot} ${AtLeastWinVista}
        !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_NO_TASK_ON_XP}"
      ${EndIf}
      StrCpy $DailyTime $5
    ${ElseIf} $4 == "/SETARI="
      StrCpy $SettingsFolder $5
      StrCpy $6 1
    ${Else}
      !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_UNKNOWN_OPTION}"
    ${EndIf}
  ${Loop}

  ; /COM and /PORT only together.
  StrCpy $3 0
  ${IfThen} $PinnedPort != "" ${|} IntOp $3 $3 + 1 ${|}
  ${IfThen} $PinnedSpeed != "" ${|} IntOp $3 $3 + 1 ${|}
  ${If} $3 = 1
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_PORT_WITHOUT_SPEED}"
  ${EndIf}

  ; The folders, checked at once when silent or given; in the wizard their pages check them.
  ${If} ${Silent}
    Call CheckProgramFolder
    ${If} $R0 != ""
      !insertmacro RefuseFolder
    ${EndIf}
  ${EndIf}
  ${If} $6 = 1
  ${OrIf} ${Silent}
    Call CheckSettingsFolder
    ${If} $R0 != ""
      !insertmacro RefuseFolder
    ${EndIf}
  ${EndIf}
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $1
  Pop $0
FunctionEnd
