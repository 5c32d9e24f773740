; Kestrelon.ini written by the setup (/COM and /PORT) as KestrelonScan writes it: whole or not
; at all, and nothing written when it already holds those settings.

!define MOVEFILE_REPLACE_EXISTING_WRITE_THROUGH 9

; Attributes that keep a file from being replaced, or would pass on to a copy.
!define KEEPING_ATTRIBUTES 0x7 ; read-only, hidden, system
!define FILE_ATTRIBUTE_READONLY 0x1
!define FILE_ATTRIBUTE_NORMAL 0x80

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

; Removes a temporary file of ours by its name, and only that name: its attributes are left
; alone, since a name a user put there could be a hard link to a file elsewhere.
!macro RemoveFile FILE
  System::Call 'kernel32::DeleteFileW(w "${FILE}")'
!macroend

!define CREATE_NEW 1
!define GENERIC_WRITE 0x40000000
!define GENERIC_READ 0x80000000

; Writes TEXT into the new file FILE, every byte, and has the system put it on the disk. Leaves
; 1 on the stack when all of it worked, else 0 (a full disk, a file already there: even a link
; put in its place meanwhile is never written through).
Function WriteNewFile
  Exch $1 ; the text
  Exch
  Exch $0 ; the file, then the result
  Push $2 ; handle
  Push $3
  Push $4
  System::Call 'kernel32::CreateFileW(w r0, i ${GENERIC_WRITE}, i 0, p 0, i ${CREATE_NEW}, \
                  i ${FILE_ATTRIBUTE_NORMAL}, p 0) p .r2'
  StrCpy $0 0
  ${If} $2 P<> ${INVALID_HANDLE}
    StrLen $3 $1 ; ASCII: a byte a character
    System::Call 'kernel32::WriteFile(p r2, m r1, i r3, *i 0 r4, p 0) i .r0'
    ${IfThen} $4 <> $3 ${|} StrCpy $0 0 ${|}
    ${If} $0 <> 0
      System::Call 'kernel32::FlushFileBuffers(p r2) i .r0'
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r2) i .r3'
    ${IfThen} $3 = 0 ${|} StrCpy $0 0 ${|}
    ${IfThen} $0 <> 0 ${|} StrCpy $0 1 ${|}
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Exch $0 ; the result on top, $0 as it was
  Exch
  Pop $1
FunctionEnd

; Leaves 1 on the stack when FILE holds exactly TEXT (ASCII), else 0.
Function HoldsExactly
  Exch $1 ; the text
  Exch
  Exch $0 ; the file, then the result
  Push $2 ; handle
  Push $3 ; its size
  Push $4 ; what it holds
  System::Call 'kernel32::CreateFileW(w r0, i ${GENERIC_READ}, i 7, p 0, i ${OPEN_EXISTING}, \
                  i ${FILE_ATTRIBUTE_NORMAL}, p 0) p .r2'
  StrCpy $0 0
  ${If} $2 P<> ${INVALID_HANDLE}
    System::Call 'kernel32::GetFileSize(p r2, p 0) i .r3'
    StrLen $4 $1
    ${If} $3 = $4
      System::Call 'kernel32::ReadFile(p r2, m .r4, i r3, *i 0 r3, p 0) i .r0'
      ${If} $0 <> 0
      ${AndIf} $4 S== $1
        StrCpy $0 1
      ${Else}
        StrCpy $0 0
      ${EndIf}
    ${EndIf}
    System::Call 'kernel32::CloseHandle(p r2)'
  ${EndIf}
  Pop $4
  Pop $3
  Pop $2
  Exch $0 ; the result on top, $0 as it was
  Exch
  Pop $1
FunctionEnd

; Writes $PinnedPort and $PinnedSpeed into Kestrelon.ini as KestrelonScan does, whole or not at
; all: the file becomes two lines; the new text and a plain copy of the old file are written
; beside it, then put in place, the file first and its backup Kestrelon.ini.bak second, and the
; old file goes back when the backup cannot follow. A file that already holds those two lines
; is left as it is, and so is its backup: the same pin twice keeps the settings from before.
; A read-only file is left alone. Leaves on the stack why the file was not written, or "":
; it and an earlier backup are then as they were, and no temporary file is left.
Function WritePinnedSettings
  Push $0 ; the file
  Push $1 ; attributes, then the new text
  Push $2 ; 1 while every step has worked
  Push $3 ; 1 when there was a file to keep, or 0 once its only copy is the backup's temporary
  Push $4 ; the reason
  Push $5 ; the file, held while it is copied
  StrCpy $0 "$SettingsFolder\${SETTINGS_FILE}"
  StrCpy $2 1
  StrCpy $3 0
  StrCpy $4 ""
  System::Call 'kernel32::GetFileAttributesW(w r0) i .r1'
  ${If} $1 <> ${INVALID_FILE_ATTRIBUTES}
    StrCpy $3 1
    IntOp $1 $1 & ${FILE_ATTRIBUTE_READONLY}
    ${If} $1 <> 0
      StrCpy $2 0
      StrCpy $4 "${TEXT_SETTINGS_READ_ONLY}"
    ${EndIf}
  ${EndIf}
  StrCpy $1 "com=$PinnedPort$\r$\nport=$PinnedSpeed$\r$\n"
  ${If} $2 = 1
  ${AndIf} $3 = 1
    Push $0
    Push $1
    Call HoldsExactly
    Pop $2
    IntOp $2 $2 + 1 ; 2: it holds them already, nothing to write
    ${IfThen} $2 = 2 ${|} StrCpy $2 2 ${|}
  ${EndIf}
  ${If} $2 = 1
    !insertmacro RemoveFile "$0.tmp"
    Push "$0.tmp"
    Push $1
    Call WriteNewFile
    Pop $2
  ${EndIf}
  ${If} $2 = 1
  ${AndIf} $3 = 1 ; the backup: a copy without the file's attributes, of the very file that
    ; was checked to be plain (held meanwhile: a user cannot put a link to another in its place)
    !insertmacro RemoveFile "$0.bak.tmp"
    Push $0
    Call OpenPlainFile
    Pop $5
    StrCpy $2 0
    ${If} $5 P<> 0
      System::Call 'kernel32::CopyFileW(w "$0", w "$0.bak.tmp", i 1) i .r2'
      System::Call 'kernel32::CloseHandle(p r5)'
    ${EndIf}
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
  ${If} $2 = 1 ; every user may change the files here: what is in place now is what was asked
    Push $0
    Push $1
    Call HoldsExactly
    Pop $2
  ${EndIf}
  ${If} $2 = 0
    ${IfThen} $4 == "" ${|} StrCpy $4 "${TEXT_SETTINGS_NOT_WRITTEN}" ${|}
    !insertmacro RemoveFile "$0.tmp"
    ${If} $3 = 1
      !insertmacro RemoveFile "$0.bak.tmp"
    ${EndIf}
  ${EndIf}
  StrCpy $0 $4
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Exch $0
FunctionEnd
