; The daily Z report: a scheduled task that starts Kestrelon.exe at $DailyTime in the settings
; folder, in the session of whichever user is logged on. Windows Vista and later only: the
; task is registered from its definition, which stays beside the programs so that a
; technician can import it elsewhere. On XP the setup makes no task (its scheduler cannot be
; given the working folder reliably); the wizard page and the guide say so.

; Any past date: the task runs every day from then on, at the time of day given.
!define TASK_START_DATE "2020-01-01"
!define TASK_TIME_LIMIT "PT23H"
!define USERS_SID "S-1-5-32-545" ; the computer's Users group, whatever the language

; Writes the task's definition ($INSTDIR\${TASK_FILE}): UTF-16 with its mark, as the Task
; Scheduler writes its own.
Function WriteTaskDefinition
  Push $0 ; the file
  Push $1 ; the program, for XML
  Push $2 ; the settings folder, for XML
  ${WordReplace} "$INSTDIR\Kestrelon.exe" "&" "&amp;" "+" $1
  ${WordReplace} "$SettingsFolder" "&" "&amp;" "+" $2
  FileOpen $0 "$INSTDIR\${TASK_FILE}" w
  FileWriteUTF16LE /BOM $0 '<?xml version="1.0" encoding="UTF-16"?>$\r$\n'
  FileWriteUTF16LE $0 '<Task version="1.2" xmlns="http://schemas.microsoft.com/windows/2004/02/mit/task">$\r$\n'
  FileWriteUTF16LE $0 '  <RegistrationInfo>$\r$\n'
  FileWriteUTF16LE $0 '    <Description>${TEXT_TASK_DESCRIPTION}</Description>$\r$\n'
  FileWriteUTF16LE $0 '  </RegistrationInfo>$\r$\n'
  FileWriteUTF16LE $0 '  <Triggers>$\r$\n'
  FileWriteUTF16LE $0 '    <CalendarTrigger>$\r$\n'
  FileWriteUTF16LE $0 '      <StartBoundary>${TASK_START_DATE}T$DailyTime:00</StartBoundary>$\r$\n'
  FileWriteUTF16LE $0 '      <Enabled>true</Enabled>$\r$\n'
  FileWriteUTF16LE $0 '      <ScheduleByDay>$\r$\n'
  FileWriteUTF16LE $0 '        <DaysInterval>1</DaysInterval>$\r$\n'
  FileWriteUTF16LE $0 '      </ScheduleByDay>$\r$\n'
  FileWriteUTF16LE $0 '    </CalendarTrigger>$\r$\n'
  FileWriteUTF16LE $0 '  </Triggers>$\r$\n'
  ; Whoever of the Users group is logged on: the task runs in that session, so that the tray
  ; icon and the boxes are seen, with that user's own rights and no stored password.
  FileWriteUTF16LE $0 '  <Principals>$\r$\n'
  FileWriteUTF16LE $0 '    <Principal id="Author">$\r$\n'
  FileWriteUTF16LE $0 '      <GroupId>${USERS_SID}</GroupId>$\r$\n'
  FileWriteUTF16LE $0 '      <RunLevel>LeastPrivilege</RunLevel>$\r$\n'
  FileWriteUTF16LE $0 '    </Principal>$\r$\n'
  FileWriteUTF16LE $0 '  </Principals>$\r$\n'
  ; Never two at once; not started late (a Z report the next morning, after the first sales,
  ; would be worse than none), but a sleeping till is woken for it; not kept from running on
  ; batteries (a laptop till). A box shown at night stays until the morning: the scheduler
  ; closes the program only after ${TASK_TIME_LIMIT}, before the next evening's start, which
  ; it would skip while this one still ran.
  FileWriteUTF16LE $0 '  <Settings>$\r$\n'
  FileWriteUTF16LE $0 '    <MultipleInstancesPolicy>IgnoreNew</MultipleInstancesPolicy>$\r$\n'
  FileWriteUTF16LE $0 '    <StartWhenAvailable>false</StartWhenAvailable>$\r$\n'
  FileWriteUTF16LE $0 '    <WakeToRun>true</WakeToRun>$\r$\n'
  FileWriteUTF16LE $0 '    <DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>$\r$\n'
  FileWriteUTF16LE $0 '    <StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>$\r$\n'
  FileWriteUTF16LE $0 '    <ExecutionTimeLimit>${TASK_TIME_LIMIT}</ExecutionTimeLimit>$\r$\n'
  FileWriteUTF16LE $0 '    <Enabled>true</Enabled>$\r$\n'
  FileWriteUTF16LE $0 '  </Settings>$\r$\n'
  FileWriteUTF16LE $0 '  <Actions Context="Author">$\r$\n'
  FileWriteUTF16LE $0 '    <Exec>$\r$\n'
  FileWriteUTF16LE $0 '      <Command>$1</Command>$\r$\n'
  FileWriteUTF16LE $0 '      <WorkingDirectory>$2</WorkingDirectory>$\r$\n'
  FileWriteUTF16LE $0 '    </Exec>$\r$\n'
  FileWriteUTF16LE $0 '  </Actions>$\r$\n'
  FileWriteUTF16LE $0 '</Task>$\r$\n'
  FileClose $0
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

; The task and its definition as $DailyTime says: registered at that time, or removed when it
; is empty. The time is recorded exactly while a task is registered: a task that cannot be
; recorded is removed again. Windows XP: nothing (no option asks for a task there). schtasks
; runs elevated: it starts in the program folder, which only administrators change, never in
; the users' folder.
Function UpdateDailyTask
  Push $0
  ${If} ${AtLeastWinVista}
    SetOutPath "$INSTDIR"
    ${If} $DailyTime == ""
      Call RemoveDailyTask
      Pop $0
      Delete "$INSTDIR\${TASK_FILE}"
      ${If} $0 != ""
        MessageBox MB_OK|MB_ICONEXCLAMATION "${TEXT_TASK_NOT_REMOVED}" /SD IDOK
        SetErrorLevel ${EXIT_TASK_FAILED}
        StrCpy $TaskNotMade "kept"
      ${EndIf}
    ${Else}
      ClearErrors
      Call WriteTaskDefinition
      StrCpy $0 "definition"
      ${IfNot} ${Errors}
        nsExec::Exec '"$SYSDIR\schtasks.exe" /create /xml "$INSTDIR\${TASK_FILE}" /tn "${TASK_NAME}" /f'
        Pop $0 ; 0 when registered
      ${EndIf}
      ${If} $0 == 0
        ClearErrors
        WriteRegStr HKLM "${UNINSTALL_KEY}" OraRaportZ "$DailyTime" ; what a later removal reads
        ${If} ${Errors}
          KestrelonSetup::RemoveTask "${TASK_NAME}" ; no task that the uninstall would not know of
          Pop $0
          StrCpy $0 "record"
        ${EndIf}
      ${EndIf}
      ${If} $0 != 0
        DetailPrint "${TEXT_TASK_FAILED} ($0)"
        MessageBox MB_OK|MB_ICONEXCLAMATION "${TEXT_TASK_FAILED}" /SD IDOK
        SetErrorLevel ${EXIT_TASK_FAILED}
        StrCpy $TaskNotMade 1
      ${EndIf}
    ${EndIf}
  ${EndIf}
  Pop $0
FunctionEnd

; Removes the task an install recorded (by the setup when the daily report is no longer wanted,
; and by the uninstaller), and then its record. A task already gone (removed by hand) is no
; failure. Leaves on the stack "" when neither is left, else what is: the task's name, or the
; Add/Remove entry that still holds its record.
!macro DefineRemoveDailyTask PREFIX
  Function ${PREFIX}RemoveDailyTask
    Push $0
    ReadRegStr $0 HKLM "${UNINSTALL_KEY}" OraRaportZ
    ${If} ${AtLeastWinVista}
    ${AndIf} $0 != ""
      KestrelonSetup::RemoveTask "${TASK_NAME}"
      Pop $0
      ${If} $0 == "failed"
        StrCpy $0 "${TEXT_THE_TASK}"
      ${Else}
        ClearErrors
        DeleteRegValue HKLM "${UNINSTALL_KEY}" OraRaportZ
        StrCpy $0 ""
        ${IfThen} ${Errors} ${|} StrCpy $0 "${TEXT_UNINSTALL_ENTRY}" ${|}
      ${EndIf}
    ${Else}
      StrCpy $0 ""
    ${EndIf}
    Exch $0
  FunctionEnd
!macroend
!insertmacro DefineRemoveDailyTask ""
!insertmacro DefineRemoveDailyTask "un."
