; Where the two folders may be, by their paths: the program folder (only administrators change
; it: the daily task runs its programs in any user's session) and the settings folder
; (Kestrelon.exe reads Kestrelon.ini from the folder it starts in, so every shortcut and the
; daily task start the programs there; the shop's users write in it). Paths are compared in
; their long form, so that a short name (C:\PROGRA~1) is seen for what it names.

!define NOT_IN_NAMES '*?"<>|/:' ; characters no folder name may hold
!define MAX_PATH_LENGTH 240 ; room left for the file names inside, within MAX_PATH

; Replaces the path on the stack with its full form: "." and ".." resolved, no "\" at the end.
Function FullPath
  Exch $0
  Push $1
  System::Call 'kernel32::GetFullPathNameW(w r0, i ${NSIS_MAX_STRLEN}, w .r0, p 0) i .r1'
  ${Do}
    StrCpy $1 $0 1 -1
    ${IfThen} $1 != "\" ${|} ${ExitDo} ${|}
    StrCpy $0 $0 -1
  ${Loop}
  Pop $1
  Exch $0
FunctionEnd

!macro TrimTrailingBackslash VAR
  Push $R9
  StrCpy $R9 ${VAR} 1 -1
  ${IfThen} $R9 == "\" ${|} StrCpy ${VAR} ${VAR} -1 ${|}
  Pop $R9
!macroend
!define TrimTrailingBackslash "!insertmacro TrimTrailingBackslash"

; Replaces the full path on the stack with its long form: the part of it that exists as the
; system names it (short names expanded), the rest as given.
Function LongPath
  Exch $0 ; the path, then its long form
  Push $1 ; the part that may exist
  Push $2 ; the rest, with its leading "\"
  Push $3
  Push $4
  StrCpy $1 $0
  StrCpy $2 ""
  ${Do}
    StrLen $3 $1
    ${IfThen} $3 = 2 ${|} StrCpy $1 "$1\" ${|} ; a drive's root is "C:\"
    System::Call 'kernel32::GetLongPathNameW(w r1, w .r3, i ${NSIS_MAX_STRLEN}) i .r4'
    ${If} $4 > 0
      ${IfThen} $2 != "" ${|} ${TrimTrailingBackslash} $3 ${|}
      StrCpy $0 "$3$2"
      ${ExitDo}
    ${EndIf}
    StrLen $3 $1
    ${If} $3 <= 3 ; not even the drive exists: the path stays as it is
      ${ExitDo}
    ${EndIf}
    ${GetFileName} $1 $3
    StrCpy $2 "\$3$2"
    ${GetParent} $1 $1
  ${Loop}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Replaces the path on the stack with its full, long form.
!macro FullLongPath PATH RESULT
  Push `${PATH}`
  Call FullPath
  Call LongPath
  Pop ${RESULT}
!macroend
!define FullLongPath "!insertmacro FullLongPath"

; Leaves 1 on the stack when FOLDER is PARENT or inside it (both full paths), else 0.
; Push FOLDER, Push PARENT, Call IsSameOrInside, Pop RESULT
Function IsSameOrInside
  Exch $1 ; the parent
  Exch
  Exch $0 ; the folder, then the result
  Push $2
  StrCpy $1 "$1\"
  StrLen $2 $1
  StrCpy $0 "$0\" $2 ; the folder's start, as long as the parent with its "\"
  ${If} $0 == $1 ; without regard to case, as Windows compares names
    StrCpy $0 1
  ${Else}
    StrCpy $0 0
  ${EndIf}
  Pop $2
  Exch $0 ; the result where the folder was, $0 as it was
  Exch
  Pop $1
FunctionEnd

; RESULT = 1 when FOLDER is written as a whole path on a drive (C:\...), not the drive itself,
; without a character that no name may hold and not too long; else 0.
Function IsWholeFolderPath
  Exch $0 ; the folder, then the result
  Push $1
  Push $2
  StrCpy $1 $0 1
  ${ConsistsOf} $1 $1 "${LETTERS}"
  StrCpy $2 $0 2 1
  ${If} $1 = 1
  ${AndIf} $2 == ":\"
    StrCpy $2 $0 "" 2
    ${StrFilterS} $2 "" "" `${NOT_IN_NAMES}` $1
    ${IfThen} $1 S!= $2 ${|} StrCpy $1 0 ${|}
  ${Else}
    StrCpy $1 0
  ${EndIf}
  ${If} $1 != 0
    Push $0
    Call FullPath
    Pop $2
    StrLen $2 $2
    ${If} $2 <= 2
    ${OrIf} $2 > ${MAX_PATH_LENGTH}
      StrCpy $1 0
    ${Else}
      StrCpy $1 1
    ${EndIf}
  ${EndIf}
  StrCpy $0 $1
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
!macro IsWholeFolderPath RESULT FOLDER
  Push `${FOLDER}`
  Call IsWholeFolderPath
  Pop ${RESULT}
!macroend
!define IsWholeFolderPath "!insertmacro IsWholeFolderPath"

; For SettingsFolderPathFault: its reason ($0) when FOLDER is PARENT or inside it ($1 is scratch).
!macro _RefuseIfInside FOLDER PARENT
  Push `${FOLDER}`
  Push `${PARENT}`
  Call IsSameOrInside
  Pop $1
  ${IfThen} $1 = 1 ${|} StrCpy $0 "${TEXT_SETTINGS_FOLDER_PLACE}" ${|}
!macroend

; Leaves on the stack why $SettingsFolder cannot be the settings folder by its path, or ""
; when it can, and writes $SettingsFolder back in its full, long form. It must be a whole path
; on a drive, not a drive itself, and away from the program folder, Program Files and Windows:
; its users may write in it.
Function SettingsFolderPathFault
  Push $0 ; the reason
  Push $1
  Push $2 ; the program folder, Program Files, Program Files (x86), Windows: long forms
  Push $3
  Push $4
  Push $5
  StrCpy $0 ""
  ${IsWholeFolderPath} $1 $SettingsFolder
  ${If} $1 != 1
    StrCpy $0 "${TEXT_SETTINGS_FOLDER_FORM}"
  ${Else}
    ${FullLongPath} $SettingsFolder $SettingsFolder
    ${FullLongPath} $INSTDIR $2
    ${FullLongPath} $PROGRAMFILES $3
    ${FullLongPath} $PROGRAMFILES64 $4
    ${FullLongPath} $WINDIR $5
    !insertmacro _RefuseIfInside $SettingsFolder $2
    !insertmacro _RefuseIfInside $2 $SettingsFolder
    !insertmacro _RefuseIfInside $SettingsFolder $3
    !insertmacro _RefuseIfInside $SettingsFolder $4
    !insertmacro _RefuseIfInside $SettingsFolder $5
  ${EndIf}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Leaves on the stack why $INSTDIR cannot be the program folder by its path, or "" when it
; can, and writes $INSTDIR back in its full, long form.
Function ProgramFolderPathFault
  Push $0
  ${IsWholeFolderPath} $0 $INSTDIR
  ${If} $0 != 1
    StrCpy $0 "${TEXT_PROGRAM_FOLDER_FORM}"
  ${Else}
    ${FullLongPath} $INSTDIR $INSTDIR
    StrCpy $0 ""
  ${EndIf}
  Exch $0
FunctionEnd

; REASON why FOLDER cannot be taken, or "", and the exit code that says so: by its path
; (PATH_FAULT, EXIT_BAD_OPTION), then as it stands on the disk (FolderFault, EXIT_FOLDER_REFUSED).
!macro CheckFolder PATH_FAULT FOLDER FILES REASON CODE
  Call ${PATH_FAULT}
  Pop ${REASON}
  StrCpy ${CODE} ${EXIT_BAD_OPTION}
  ${If} ${REASON} == ""
    ${FolderFault} ${REASON} ${FOLDER} "${FILES}"
    StrCpy ${CODE} ${EXIT_FOLDER_REFUSED}
  ${EndIf}
!macroend
!define CheckSettingsFolder \
    "!insertmacro CheckFolder SettingsFolderPathFault $SettingsFolder `${SETTINGS_FOLDER_FILES}`"
!define CheckProgramFolder \
    "!insertmacro CheckFolder ProgramFolderPathFault $INSTDIR `${PROGRAM_FOLDER_FILES}`"
