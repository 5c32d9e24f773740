; Who may change the two folders. The setup writes in them as administrator, and the daily task
; starts the programs in every user's session: no user may be able to turn a folder of ours
; into a way to a folder of someone else's, nor change the programs. So:
; - the program folder: SYSTEM and Administrators full control, Users read and run;
; - the settings folder: SYSTEM and Administrators full control; Users may list it, create
;   files in it and change those files (KestrelonScan writes Kestrelon.ini beside it and puts it
;   in place), but not delete, rename or re-permission the folder, nor make folders in it.
; Both lists are protected: nothing is inherited from above (on Windows Vista and later, C:\
; lets every user change any folder made under it). The groups by their SIDs, so that it holds
; on every Windows language, XP included.
; A folder that is already there is taken only when it is a plain folder (no junction, symbolic
; link or mount point on the way), owned by Administrators, SYSTEM or the administrator running
; the setup, and holds nothing but files of ours. At the install step the setup holds it open
; without sharing its deletion, so that nobody can rename, remove or replace it (nor a folder
; above it) while the setup writes there; its rights are set on that handle, without walking
; the files inside (a file there could be a hard link to somebody else's).

!define USERS_SID "S-1-5-32-545" ; the computer's Users group, whatever the language
!define ADMINISTRATORS_SID "S-1-5-32-544"
!define SYSTEM_SID "S-1-5-18"
; P: protected; AI: what it passes on is marked inherited. FA: full control; 0x1200A9: read and
; run; 0x1200AB: that and create files; 0x1301BF: Modify.
!define PROGRAM_FOLDER_SECURITY "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200A9;;;BU)"
!define SETTINGS_FOLDER_SECURITY "D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200AB;;;BU)(A;OIIO;0x1301BF;;;BU)"
; What each folder may hold when the setup finds it there: its own files only.
!define PROGRAM_FOLDER_FILES "Kestrelon.exe|KestrelonScan.exe|Ghid-utilizare.txt|${UNINSTALLER}|${TASK_FILE}"
!define SETTINGS_FOLDER_FILES "${SETTINGS_FILE}|${SETTINGS_FILE}.bak|${SETTINGS_FILE}.tmp|${SETTINGS_FILE}.bak.tmp"

!define INVALID_FILE_ATTRIBUTES -1
!define FILE_ATTRIBUTE_DIRECTORY 0x10
!define FILE_ATTRIBUTE_REPARSE_POINT 0x400
!define OWNER_SECURITY_INFORMATION 1
!define DACL_SECURITY_INFORMATION 4
!define SE_FILE_OBJECT 1
!define TOKEN_QUERY 8
!define TOKEN_USER_CLASS 1
!define TOKEN_OWNER_CLASS 4
; READ_CONTROL | WRITE_DAC | FILE_READ_ATTRIBUTES, and FILE_LIST_DIRECTORY: an open without
; any access to the data takes no part in sharing, and would keep nobody from anything.
!define FOLDER_ACCESS 0x60081
!define SHARE_READ_WRITE 3 ; not FILE_SHARE_DELETE: nobody renames or removes it meanwhile
!define OPEN_EXISTING 3
!define OPEN_AS_ITSELF 0x02200000 ; FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT
!define FILE_INFORMATION_SIZE 52 ; BY_HANDLE_FILE_INFORMATION: attributes first,
!define FILE_LINKS_OFFSET 40 ; its nNumberOfLinks here
!define INVALID_HANDLE -1
!define PLAIN_FILE_ACCESS 0x80000080 ; GENERIC_READ | FILE_READ_ATTRIBUTES
!define NOT_A_PLAIN_FILE 0x410 ; FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT

Var FolderInQuestion ; the folder a refusal names

; Calls FUNCTION with each name of LIST ("a|b|c") on the stack.
!macro ForEachName LIST FUNCTION
  Push $R8
  Push $R9
  StrCpy $R8 1
  ${Do}
    ClearErrors
    ${WordFind} "${LIST}" "|" "E+$R8" $R9
    ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
    Push $R9
    Call ${FUNCTION}
    IntOp $R8 $R8 + 1
  ${Loop}
  Pop $R9
  Pop $R8
!macroend

; RESULT = the SID of OWNER (a PSID) as text, e.g. S-1-5-32-544; "" when it cannot be read.
!macro SidText RESULT OWNER
  Push $R9
  System::Call 'advapi32::ConvertSidToStringSidW(p ${OWNER}, *p .R9) i .s'
  Pop ${RESULT}
  ${If} ${RESULT} <> 0
    System::Call 'kernel32::lstrcpynW(w .s, p R9, i ${NSIS_MAX_STRLEN})'
    Pop ${RESULT}
    System::Call 'kernel32::LocalFree(p R9)'
  ${Else}
    StrCpy ${RESULT} ""
  ${EndIf}
  Pop $R9
!macroend

; For IsAdministratorsFolder: $0 = 1 when the token $1 says, of CLASS, the owner $3 (both
; answers start with a pointer to the SID; $2 is the buffer, $4 scratch).
!macro _OwnerIsTokenSid CLASS
  System::Call 'advapi32::GetTokenInformation(p r1, i ${CLASS}, p r2, i 1024, *i .r4) i .r4'
  ${If} $4 <> 0
    System::Call '*$2(p .r4)'
    !insertmacro SidText $4 $4
    ${IfThen} $4 == $3 ${|} StrCpy $0 1 ${|}
  ${EndIf}
!macroend

; Leaves 1 on the stack when FOLDER's owner is Administrators, SYSTEM, or the administrator
; running this setup (its account, or the default owner of what it makes), else 0.
Function IsAdministratorsFolder
  Exch $0 ; the folder, then the result
  Push $1 ; owner, then token
  Push $2 ; security descriptor, then buffer
  Push $3 ; the owner as text
  Push $4
  StrCpy $3 ""
  System::Call 'advapi32::GetNamedSecurityInfoW(w r0, i ${SE_FILE_OBJECT}, \
                  i ${OWNER_SECURITY_INFORMATION}, *p .r1, p 0, p 0, p 0, *p .r2) i .r4'
  ${If} $4 = 0
    !insertmacro SidText $3 $1
    System::Call 'kernel32::LocalFree(p r2)'
  ${EndIf}
  StrCpy $0 0
  ${If} $3 == "${ADMINISTRATORS_SID}"
  ${OrIf} $3 == "${SYSTEM_SID}"
    StrCpy $0 1
  ${ElseIf} $3 != ""
    System::Call 'kernel32::GetCurrentProcess() p .r4'
    System::Call 'advapi32::OpenProcessToken(p r4, i ${TOKEN_QUERY}, *p .r1) i .r4'
    ${If} $4 <> 0
      System::Alloc 1024
      Pop $2
      !insertmacro _OwnerIsTokenSid ${TOKEN_USER_CLASS}
      !insertmacro _OwnerIsTokenSid ${TOKEN_OWNER_CLASS}
      System::Free $2
      System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Leaves 1 on the stack when PATH or a folder above it is a junction, symbolic link or mount
; point, else 0.
Function IsOnALink
  Exch $0 ; the path, then the result
  Push $1
  Push $2
  StrCpy $1 $0
  StrCpy $0 0
  ${Do} ; up to the drive's root, which is none
    StrLen $2 $1
    ${IfThen} $2 <= 3 ${|} ${ExitDo} ${|}
    System::Call 'kernel32::GetFileAttributesW(w r1) i .r2'
    ${If} $2 <> ${INVALID_FILE_ATTRIBUTES}
      IntOp $2 $2 & ${FILE_ATTRIBUTE_REPARSE_POINT}
      ${IfThen} $2 <> 0 ${|} StrCpy $0 1 ${|}
    ${EndIf}
    ${GetParent} $1 $1
  ${LoopUntil} $0 = 1
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Leaves on the stack a handle to FILE, open for reading and not shared for deletion (nobody
; can remove, rename or replace it while it is held), when it is a plain file with one name
; only (not a link, nor a hard link to a file elsewhere), else 0.
Function OpenPlainFile
  Exch $0 ; the file, then the handle
  Push $1 ; the handle
  Push $2 ; its information
  Push $3
  System::Call 'kernel32::CreateFileW(w r0, i ${PLAIN_FILE_ACCESS}, i ${SHARE_READ_WRITE}, p 0, \
                  i ${OPEN_EXISTING}, i ${OPEN_AS_ITSELF}, p 0) p .r1'
  StrCpy $0 0
  ${If} $1 P<> ${INVALID_HANDLE}
    System::Alloc ${FILE_INFORMATION_SIZE}
    Pop $2
    System::Call 'kernel32::GetFileInformationByHandle(p r1, p r2) i .r3'
    ${If} $3 <> 0
      System::Call '*$2(i .r3)'
      IntOp $3 $3 & ${NOT_A_PLAIN_FILE}
      ${If} $3 = 0
        IntOp $3 $2 + ${FILE_LINKS_OFFSET}
        System::Call '*$3(i .r3)'
        ${IfThen} $3 = 1 ${|} StrCpy $0 $1 ${|}
      ${EndIf}
    ${EndIf}
    System::Free $2
    ${If} $0 P= 0
      System::Call 'kernel32::CloseHandle(p r1)'
    ${EndIf}
  ${EndIf}
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd

; Leaves 1 on the stack when FILE (a name inside FOLDER) is one of FILES ("a|b"), a plain file
; with one name only (not a hard link to a file elsewhere), else 0.
; Push FOLDER, Push FILES, Push FILE, Call IsFileOfOurs, Pop RESULT
Function IsFileOfOurs
  Exch $2 ; the file
  Exch
  Exch $1 ; the list
  Exch 2
  Exch $0 ; the folder, then the result
  Push $3 ; 1 once found and plain
  Push $4
  Push $5
  StrCpy $3 0
  StrCpy $4 1
  ${Do}
    ClearErrors
    ${WordFind} $1 "|" "E+$4" $5
    ${IfThen} ${Errors} ${|} ${ExitDo} ${|}
    ${If} $5 == $2 ; without regard to case, as Windows compares names
      StrCpy $3 1
      ${ExitDo}
    ${EndIf}
    IntOp $4 $4 + 1
  ${Loop}
  ${If} $3 = 1
    Push "$0\$2"
    Call OpenPlainFile
    Pop $4
    ${If} $4 P= 0
      StrCpy $3 0
    ${Else}
      System::Call 'kernel32::CloseHandle(p r4)'
    ${EndIf}
  ${EndIf}
  StrCpy $0 $3
  Pop $5
  Pop $4
  Pop $3
  Exch $0 ; the result on top, $0 as it was
  Exch 2
  Pop $1
  Pop $2
FunctionEnd

; Leaves on the stack why FOLDER (a full, long path) cannot be taken, or "" when it can: a
; link on the way, a folder that is not the administrators', or anything in it but FILES.
; A folder not there yet is fine when nothing on the way to it is a link.
Function FolderFault
  Exch $1 ; the list of files
  Exch
  Exch $0 ; the folder, then the reason
  Push $2
  Push $3
  Push $4
  StrCpy $FolderInQuestion $0
  Push $0
  Call IsOnALink
  Pop $2
  System::Call 'kernel32::GetFileAttributesW(w r0) i .r3'
  ${If} $2 = 1
    StrCpy $0 "${TEXT_FOLDER_IS_A_LINK}"
  ${ElseIf} $3 = ${INVALID_FILE_ATTRIBUTES}
    StrCpy $0 ""
  ${Else}
    IntOp $3 $3 & ${FILE_ATTRIBUTE_DIRECTORY}
    Push $0
    Call IsAdministratorsFolder
    Pop $2
    ${If} $3 = 0
      StrCpy $0 "${TEXT_FOLDER_NOT_OURS}"
    ${ElseIf} $2 <> 1
      StrCpy $0 "${TEXT_FOLDER_NOT_ADMINISTRATORS}"
    ${Else}
      StrCpy $2 $0
      StrCpy $0 ""
      ClearErrors
      FindFirst $3 $4 "$2\*"
      ${DoUntil} ${Errors}
        ${If} $4 != "."
        ${AndIf} $4 != ".."
          Push $2
          Push $1
          Push $4
          Call IsFileOfOurs
          Pop $4
          ${If} $4 <> 1
            StrCpy $0 "${TEXT_FOLDER_NOT_OURS}"
            ${ExitDo}
          ${EndIf}
        ${EndIf}
        FindNext $3 $4
      ${Loop}
      FindClose $3
    ${EndIf}
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Exch $0 ; the result on top, $0 as it was
  Exch
  Pop $1
FunctionEnd
!macro FolderFault RESULT FOLDER FILES
  Push `${FOLDER}`
  Push `${FILES}`
  Call FolderFault
  Pop ${RESULT}
!macroend
!define FolderFault "!insertmacro FolderFault"

; Takes FOLDER for the install, as the header says: makes it when it is missing (with SECURITY
; from the start), holds it open, checks it again and gives it SECURITY. Leaves the handle on
; the stack, or 0 after setting $FolderInQuestion and the exit code (EXIT_NOT_WRITTEN,
; EXIT_FOLDER_REFUSED or EXIT_RIGHTS_NOT_SET) with the reason in $R0.
; Push FOLDER, Push FILES, Push SECURITY, Call TakeFolder, Pop HANDLE
Function TakeFolder
  Exch $2 ; security
  Exch
  Exch $1 ; files
  Exch 2
  Exch $0 ; the folder, then the handle
  Push $3
  Push $4 ; the security descriptor
  Push $5
  StrCpy $FolderInQuestion $0
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w r2, i 1, \
                  *p .r4, p 0) i .r5'
  ${If} $5 = 0
    StrCpy $4 0
  ${EndIf}
  ${IfNot} ${FileExists} "$0\*"
    ${GetParent} $0 $3
    CreateDirectory $3 ; the folders above, as their own parents give
    System::Call '*(i 12, p r4, i 0) p .r5'
    System::Call 'kernel32::CreateDirectoryW(w r0, p r5) i .r3'
    System::Free $5
  ${EndIf}
  System::Call 'kernel32::CreateFileW(w r0, i ${FOLDER_ACCESS}, i ${SHARE_READ_WRITE}, p 0, \
                  i ${OPEN_EXISTING}, i ${OPEN_AS_ITSELF}, p 0) p .r3'
  ${If} $3 P= ${INVALID_HANDLE}
    StrCpy $3 0
    StrCpy $R0 "${TEXT_FOLDER_NOT_WRITTEN}"
    SetErrorLevel ${EXIT_NOT_WRITTEN}
  ${Else}
    ${FolderFault} $R0 $0 $1
    ${If} $R0 != ""
      SetErrorLevel ${EXIT_FOLDER_REFUSED}
    ${Else}
      ${If} $4 P<> 0
        System::Call 'advapi32::SetKernelObjectSecurity(p r3, i ${DACL_SECURITY_INFORMATION}, \
                        p r4) i .r5'
      ${Else}
        StrCpy $5 0
      ${EndIf}
      ${If} $5 = 0
        StrCpy $R0 "${TEXT_RIGHTS_NOT_SET}"
        SetErrorLevel ${EXIT_RIGHTS_NOT_SET}
      ${EndIf}
    ${EndIf}
    ${If} $R0 != ""
      System::Call 'kernel32::CloseHandle(p r3)'
      StrCpy $3 0
    ${EndIf}
  ${EndIf}
  ${If} $4 P<> 0
    System::Call 'kernel32::LocalFree(p r4)'
  ${EndIf}
  StrCpy $0 $3
  Pop $5
  Pop $4
  Pop $3
  Exch $0 ; the result on top, $0 as it was
  Exch 2
  Pop $1
  Pop $2
FunctionEnd
