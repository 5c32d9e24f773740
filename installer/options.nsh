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

; $3 = argument number INDEX of the list in $1 ($5 is scratch); INDEX goes on to the next.
!macro _Argument INDEX
  IntOp $5 ${INDEX} * 4
  IntOp $5 $1 + $5
  System::Call '*$5(p .r5)'
  System::Call 'kernel32::lstrcpynW(w .r3, p r5, i ${NSIS_MAX_STRLEN})'
  IntOp ${INDEX} ${INDEX} + 1
!macroend

; Reads the options into $PinnedPort, $PinnedSpeed, $DailyTime and $SettingsFolder (which hold
; the earlier install's values or the defaults); refuses a bad one.
Function ReadOptions
  Push $0 ; how many arguments
  Push $1 ; the list of arguments
  Push $2 ; which one
  Push $3 ; the argument
  Push $4 ; the option's name
  Push $5 ; its value
  Push $6 ; 1 when /SETARI is given
  StrCpy $3 $CMDLINE ; passed in a register: it holds quotes
  System::Call 'shell32::CommandLineToArgvW(w r3, *i .r0) p .r1'
  StrCpy $2 1
  ${DoWhile} $2 < $0
    !insertmacro _Argument $2
    ${IfThen} $3 == "/S" ${|} SetSilent silent ${|}
  ${Loop}
  System::Call 'kernel32::GetCommandLineW() p .r3'
  System::Call 'kernel32::lstrlenW(p r3) i .r4'
  ${If} $4 > ${MAX_COMMAND_LINE}
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_COMMAND_LINE_TOO_LONG}"
  ${EndIf}
  System::Call 'kernel32::lstrcpynW(w .r3, p r3, i ${NSIS_MAX_STRLEN})'
  ${StrStr} $4 $3 " /D="
  ${If} $4 != ""
    StrCpy $4 $4 "" 4
    ${IsWholeFolderPath} $5 $4
    Push $4
    Call FullPath
    Pop $4
    Push $INSTDIR
    Call FullPath
    Pop $3
    ${If} $5 != 1
    ${OrIf} $4 != $3 ; NSIS put its default in its place
      !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_PROGRAM_FOLDER_FORM}"
    ${EndIf}
  ${EndIf}

  StrCpy $6 0
  StrCpy $2 1 ; the first is the program itself
  ${DoWhile} $2 < $0
    !insertmacro _Argument $2
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
  System::Call 'kernel32::LocalFree(p r1)'

  ; /COM and /PORT only together.
  StrCpy $2 0
  ${IfThen} $PinnedPort != "" ${|} IntOp $2 $2 + 1 ${|}
  ${IfThen} $PinnedSpeed != "" ${|} IntOp $2 $2 + 1 ${|}
  ${If} $2 = 1
    !insertmacro Refuse ${EXIT_BAD_OPTION} "${TEXT_PORT_WITHOUT_SPEED}"
  ${EndIf}

  ; The folders, checked at once when silent or given; in the wizard their pages check them.
  ${If} ${Silent}
    ${CheckProgramFolder} $3 $4
    ${If} $3 != ""
      !insertmacro Refuse $4 $3
    ${EndIf}
  ${EndIf}
  ${If} $6 = 1
  ${OrIf} ${Silent}
    ${CheckSettingsFolder} $3 $4
    ${If} $3 != ""
      !insertmacro Refuse $4 $3
    ${EndIf}
  ${EndIf}
  Pop $6
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
