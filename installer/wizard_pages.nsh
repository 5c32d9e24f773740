; The wizard's own pages: the settings folder, and the daily Z report.

Var SettingsFolderField
Var DailyCheckbox
Var DailyTimeField

; Where Kestrelon.ini is kept: a folder field with a browse button.
Function SettingsFolderPage
  Push $0
  !insertmacro MUI_HEADER_TEXT "${TEXT_SETTINGS_PAGE_TITLE}" "${TEXT_SETTINGS_PAGE_SUBTITLE}"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 60u "${TEXT_SETTINGS_PAGE_TEXT}"
  Pop $0
  ${NSD_CreateLabel} 0 70u 100% 10u "${TEXT_SETTINGS_PAGE_BROWSE}"
  Pop $0
  ${NSD_CreateDirRequest} 0 82u 240u 13u "$SettingsFolder"
  Pop $SettingsFolderField
  ${NSD_CreateBrowseButton} 245u 81u 55u 15u "$(^BrowseBtn)"
  Pop $0
  ${NSD_OnClick} $0 BrowseSettingsFolder
  nsDialogs::Show
  Pop $0
FunctionEnd

Function BrowseSettingsFolder
  Pop $0 ; the button
  ${NSD_GetText} $SettingsFolderField $0
  nsDialogs::SelectFolderDialog "${TEXT_SETTINGS_PAGE_BROWSE}" "$0"
  Pop $0
  ${If} $0 != error
    ${NSD_SetText} $SettingsFolderField "$0"
  ${EndIf}
FunctionEnd

; The program folder as it stands on the disk: a link, a folder of somebody else's are refused.
Function ProgramFolderPageLeave
  Push $0
  Push $1
  ${CheckProgramFolder} $0 $1
  ${If} $0 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$0"
    Pop $1
    Pop $0
    Abort ; stays on the page
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

; The folder is checked against the program folder chosen on the page before.
Function SettingsFolderPageLeave
  Push $0
  Push $1
  ${NSD_GetText} $SettingsFolderField $SettingsFolder
  ${CheckSettingsFolder} $0 $1
  ${If} $0 != ""
    MessageBox MB_OK|MB_ICONEXCLAMATION "$0"
    Pop $1
    Pop $0
    Abort ; stays on the page
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

; The daily task: a checkbox with the time beside it, off unless an earlier install (or /ORA)
; has a time. On Windows XP both are disabled and the text points to the guide.
Function DailyReportPage
  Push $0
  Push $1
  !insertmacro MUI_HEADER_TEXT "${TEXT_DAILY_PAGE_TITLE}" "${TEXT_DAILY_PAGE_SUBTITLE}"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateCheckbox} 0 0 200u 12u "${TEXT_DAILY_CHECKBOX}"
  Pop $DailyCheckbox
  StrCpy $1 $DailyTime
  ${IfThen} $1 == "" ${|} StrCpy $1 "${DEFAULT_DAILY_TIME}" ${|}
  ${NSD_CreateText} 205u 0 35u 12u "$1"
  Pop $DailyTimeField
  ${NSD_SetTextLimit} $DailyTimeField 5
  ${If} ${AtLeastWinVista}
    ${NSD_CreateLabel} 0 22u 100% 110u "${TEXT_DAILY_PAGE_TEXT}"
    Pop $0
    ${IfThen} $DailyTime != "" ${|} ${NSD_Check} $DailyCheckbox ${|}
  ${Else}
    ${NSD_CreateLabel} 0 22u 100% 60u "${TEXT_DAILY_PAGE_XP}"
    Pop $0
    EnableWindow $DailyCheckbox 0
    EnableWindow $DailyTimeField 0
  ${EndIf}
  nsDialogs::Show
  Pop $1
  Pop $0
FunctionEnd

Function DailyReportPageLeave
  Push $0
  Push $1
  ${NSD_GetState} $DailyCheckbox $0
  ${If} $0 == ${BST_CHECKED}
    ${NSD_GetText} $DailyTimeField $1
    ${IsTimeOfDay} $0 $1
    ${If} $0 != 1
      MessageBox MB_OK|MB_ICONEXCLAMATION "${TEXT_BAD_TIME}"
      Pop $1
      Pop $0
      Abort ; stays on the page
    ${EndIf}
    StrCpy $DailyTime $1
  ${Else}
    StrCpy $DailyTime "" ; unchecked: no task (an earlier one is removed)
  ${EndIf}
  Pop $1
  Pop $0
FunctionEnd

; The finish page's checkbox: KestrelonScan in the settings folder, where it pins the device.
Function StartKestrelonScan
  SetOutPath "$SettingsFolder" ; Exec starts the program in the output folder
  Exec '"$INSTDIR\KestrelonScan.exe"'
FunctionEnd

; The finish page's checkbox is one line high; its text takes two.
!define SWP_SIZE_ONLY 0x16 ; SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE
Function MakeRoomForTheRunText
  Push $0 ; the checkbox
  Push $1 ; its rectangle
  Push $2 ; left, then width
  Push $3 ; top, then height
  Push $4 ; right
  Push $5 ; bottom
  StrCpy $0 $mui.FinishPage.Run
  System::Call '*(i, i, i, i) p .r1'
  System::Call 'user32::GetWindowRect(p r0, p r1)'
  System::Call '*$1(i .r2, i .r3, i .r4, i .r5)'
  System::Free $1
  IntOp $2 $4 - $2
  IntOp $3 $5 - $3
  IntOp $3 $3 * 2
  System::Call 'user32::SetWindowPos(p r0, p 0, i 0, i 0, i r2, i r3, i ${SWP_SIZE_ONLY})'
  Pop $5
  Pop $4
  Pop $3
  Pop $2
  Pop $1
  Pop $0
FunctionEnd
