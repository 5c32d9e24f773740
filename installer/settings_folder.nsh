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
    ${StrFilterS} $2 "" "" `${NOT_IN_NAMES}` $1
    ${IfThen} $1 S!= $2 ${|} StrCpy $0 "${TEXT_SETTINGS_FOLDER_FORM}" ${|}
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

; Attributes that keep a file from being replaced, or would pass on to a copy.
!define KEEPING_ATTRIBUTES 0x7 ; read-only, hidden, system
!define FILE_ATTRIBUTE_READONLY 0x1
!define FILE_ATTRIBUTE_NORMAL 0x80
!define INVALID_FILE_ATTRIBUTES -1

; Puts the file FROM in the place of TO in one step, whatever attributes TO had (they come back
; when the move fails). Leaves 1 on the stack when it worked, else 0.
Function ReplaceFile
  Exch $1 ; to
  Exch
  Exch $0 ; from, then the result
  Push $2 ; the attributes of TO
  Push $3
  System::Call 'kernel32::GetFileAttributesW(w r1) i .r2'
  ${If} $2 <> ${INVALID_FILE_ATTRIBUTES}
    IntOp $3 ${KEEPING_ATTRIBUTES} ~
    IntOp $3 $2 & $3
    System::Call 'kernel32::SetFileAttributesW(w r1, i r3)'
  ${EndIf}
  System::Call 'kernel32::MoveFileExW(w r0, w r1, i ${MOVEFILE_REPLACE_EXISTING_WRITE_THROUGH}) i .r0'
  ${If} $0 = 0
  ${AndIf} $2 <> ${INVALID_FILE_ATTRIBUTES}
    System::Call 'kernel32::SetFileAttributesW(w r1, i r2)'
  ${EndIf}
  ${IfThen} $0 <> 0 ${|} StrCpy $0 1 ${|}
  Pop $3
  Pop $2
  Exch $0 ; the result where FROM was, $0 as it was
  Exch
  Pop $1
FunctionEnd

; Removes a file of ours, whatever its attributes.
!macro RemoveFile FILE
  System::Call 'kernel32::SetFileAttributesW(w "${FILE}", i ${FILE_ATTRIBUTE_NORMAL})'
  Delete "${FILE}"
!macroend

; Writes $PinnedPort and $PinnedSpeed into Kestrelon.ini as KestrelonScan does, whole or not at
; all: the file becomes two lines; the new text and a plain copy of the old file are written
; beside it, then put in place, the file first and its backup Kestrelon.ini.bak second, and the
; old file goes back when the backup cannot follow. A read-only file is left alone. Sets the
; error flag when the file was not written: it and an earlier backup are then as they were,
; and no temporary file is left.
Function WritePinnedSettings
  Push $0 ; the file
  Push $1 ; handle, then attributes
  Push $2 ; 1 while every step has worked
  Push $3 ; 1 when there was a file to keep, or 0 once its only copy is the backup's temporary
  StrCpy $0 "$SettingsFolder\${SETTINGS_FILE}"
  StrCpy $2 0
  StrCpy $3 0
  System::Call 'kernel32::GetFileAttributesW(w r0) i .r1'
  ${If} $1 = ${INVALID_FILE_ATTRIBUTES}
    StrCpy $2 1
  ${Else}
    IntOp $1 $1 & ${FILE_ATTRIBUTE_READONLY}
    ${IfThen} $1 = 0 ${|} StrCpy $2 1 ${|}
    StrCpy $3 1
  ${EndIf}
  ${If} $2 = 1
    !insertmacro RemoveFile "$0.tmp"
    ClearErrors
    FileOpen $1 "$0.tmp" w
    ${If} ${Errors}
      StrCpy $2 0
    ${Else}
      FileWrite $1 "com=$PinnedPort$\r$\nport=$PinnedSpeed$\r$\n"
      FileClose $1
    ${EndIf}
  ${EndIf}
  ${If} $2 = 1
  ${AndIf} $3 = 1 ; the backup: a copy without the file's attributes
    !insertmacro RemoveFile "$0.bak.tmp"
    System::Call 'kernel32::CopyFileW(w "$0", w "$0.bak.tmp", i 1) i .r2'
    ${IfThen} $2 <> 0 ${|} StrCpy $2 1 ${|}
    System::Call 'kernel32::SetFileAttributesW(w "$0.bak.tmp", i ${FILE_ATTRIBUTE_NORMAL})'
  ${EndIf}
  ${If} $2 = 1
    Push "$0.tmp"
    Push "$0"
    Call ReplaceFile
    Pop $2
  ${EndIf}
  ${If} $2 = 1
  ${AndIf} $3 = 1
    Push "$0.bak.tmp"
    Push "$0.bak"
    Call ReplaceFile
    Pop $2
    ${If} $2 = 0 ; the old file back in place; should even that fail, its only copy stays
      Push "$0.bak.tmp"
      Push "$0"
      Call ReplaceFile
      Pop $3
    ${EndIf}
  ${EndIf}
  ${If} $2 = 0
    !insertmacro RemoveFile "$0.tmp"
    ${If} $3 = 1
      !insertmacro RemoveFile "$0.bak.tmp"
    ${EndIf}
  ${EndIf}
  ClearErrors
  ${IfThen} $2 = 0 ${|} SetErrors ${|}
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
