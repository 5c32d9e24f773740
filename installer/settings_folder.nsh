; The settings folder: Kestrelon.exe reads Kestrelon.ini from the folder it starts in, so every
; shortcut and the daily task start the programs there. The shop's users must be able to write
; it (KestrelonScan pins the device in it); the program folder must stay the administrators'.

!define NOT_IN_NAMES '*?"<>|/:' ; characters no folder name may hold
!define USERS_SID "S-1-5-32-545" ; the computer's Users group, whatever the language
!define MODIFY_RIGHTS 0x1301BF ; read, write, run and delete: the "Modify" of the folder's dialog
!define GRANT_ACCESS 1
!define SUB_CONTAINERS_AND_OBJECTS_INHERIT 3
!define TRUSTEE_IS_SID 0
!define TRUSTEE_IS_WELL_KNOWN_GROUP 5
!define SE_FILE_OBJECT 1
!define DACL_SECURITY_INFORMATION 4
!define MOVEFILE_REPLACE_EXISTING_WRITE_THROUGH 9

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

; For CheckSettingsFolder: its reason ($0) when FOLDER is PARENT or inside it ($1 is scratch).
!macro _RefuseIfInside FOLDER PARENT
  Push `${FOLDER}`
  Call FullPath
  Push `${PARENT}`
  Call FullPath
  Call IsSameOrInside
  Pop $1
  ${IfThen} $1 = 1 ${|} StrCpy $0 "${TEXT_SETTINGS_FOLDER_PLACE}" ${|}
!macroend

; Leaves on the stack why $SettingsFolder cannot be the settings folder, or "" when it can,
; and writes $SettingsFolder back in its full form. It must be a whole path on a drive, not a
; drive itself, and away from the program folder, Program Files and Windows: it is made
; writable for every user, with the files in it.
Function CheckSettingsFolder
  Push $0 ; the reason
  Push $1
  Push $2
  StrCpy $0 ""
  StrCpy $1 $SettingsFolder 1
  ${ConsistsOf} $1 $1 "${LETTERS}"
  StrCpy $2 $SettingsFolder 2 1
  ${If} $1 != 1
  ${OrIf} $2 != ":\"
    StrCpy $0 "${TEXT_SETTINGS_FOLDER_FORM}"
  ${Else}
    StrCpy $2 $SettingsFolder "" 2
    Push $2
    Push `${NOT_IN_NAMES}`
    Call CountIn
    Pop $1
    ${IfThen} $1 != 0 ${|} StrCpy $0 "${TEXT_SETTINGS_FOLDER_FORM}" ${|}
  ${EndIf}
  ${If} $0 == ""
    Push $SettingsFolder
    Call FullPath
    Pop $SettingsFolder
    StrLen $1 $SettingsFolder
    ${IfThen} $1 <= 2 ${|} StrCpy $0 "${TEXT_SETTINGS_FOLDER_FORM}" ${|}
  ${EndIf}
  ${If} $0 == ""
    !insertmacro _RefuseIfInside $SettingsFolder $INSTDIR
    !insertmacro _RefuseIfInside $INSTDIR $SettingsFolder
    !insertmacro _RefuseIfInside $SettingsFolder $PROGRAMFILES
    !insertmacro _RefuseIfInside $SettingsFolder $PROGRAMFILES64
    !insertmacro _RefuseIfInside $SettingsFolder $WINDIR
  ${EndIf}
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Lets the Users group change the settings folder and every file in it (Kestrelon.ini, its
; .bak): added to what the folder already allows, by the group's SID, so that it works on
; every Windows language, XP included. Sets the error flag when it fails.
Function GrantUsersModify
  Push $0 ; the group's SID
  Push $1 ; what to add
  Push $2 ; the folder's list as it was
  Push $3 ; its security descriptor
  Push $4 ; the new list
  Push $5 ; result
  ClearErrors
  System::Call 'advapi32::ConvertStringSidToSidW(w "${USERS_SID}", *p .r0) i .r5'
  ${If} $5 = 0
    SetErrors
  ${Else}
    System::Call '*(i ${MODIFY_RIGHTS}, i ${GRANT_ACCESS}, i ${SUB_CONTAINERS_AND_OBJECTS_INHERIT}, \
                    p 0, i 0, i ${TRUSTEE_IS_SID}, i ${TRUSTEE_IS_WELL_KNOWN_GROUP}, p r0) p .r1'
    System::Call 'advapi32::GetNamedSecurityInfoW(w "$SettingsFolder", i ${SE_FILE_OBJECT}, \
                    i ${DACL_SECURITY_INFORMATION}, p 0, p 0, *p .r2, p 0, *p .r3) i .r5'
    ${If} $5 = 0
      System::Call 'advapi32::SetEntriesInAclW(i 1, p r1, p r2, *p .r4) i .r5'
      ${If} $5 = 0
        System::Call 'advapi32::SetNamedSecurityInfoW(w "$SettingsFolder", i ${SE_FILE_OBJECT}, \
                        i ${DACL_SECURITY_INFORMATION}, p 0, p 0, p r4, p 0) i .r5'
        System::Call 'kernel32::LocalFree(p r4)'
      ${EndIf}
      System::Call 'kernel32::LocalFree(p r3)'
    ${EndIf}
    ${IfThen} $5 != 0 ${|} SetErrors ${|}
    System::Free $1
    System::Call 'kernel32::LocalFree(p r0)'
  ${EndIf}
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; Writes $PinnedPort and $PinnedSpeed into Kestrelon.ini as KestrelonScan does: the whole file
; becomes two lines, written beside it first and then put in its place, the file that was
; there kept as Kestrelon.ini.bak. Sets the error flag when it fails (the file is then as it
; was).
Function WritePinnedSettings
  Push $0 ; the file
  Push $1 ; handle
  Push $2 ; 1 while every step has worked
  StrCpy $0 "$SettingsFolder\${SETTINGS_FILE}"
  StrCpy $2 0
  ClearErrors
  FileOpen $1 "$0.tmp" w
  ${IfNot} ${Errors}
    FileWrite $1 "com=$PinnedPort$\r$\nport=$PinnedSpeed$\r$\n"
    FileClose $1
    StrCpy $2 1
  ${EndIf}
  ${If} $2 = 1
  ${AndIf} ${FileExists} "$0"
    System::Call 'kernel32::CopyFileW(w "$0", w "$0.bak", i 0) i .r2'
  ${EndIf}
  ${If} $2 <> 0
    System::Call 'kernel32::MoveFileExW(w "$0.tmp", w "$0", i ${MOVEFILE_REPLACE_EXISTING_WRITE_THROUGH}) i .r2'
  ${EndIf}
  Delete "$0.tmp" ; left only when a step failed
  ClearErrors
  ${IfThen} $2 = 0 ${|} SetErrors ${|}
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
