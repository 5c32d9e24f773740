; The fiscal device, found during the install: the plug-in runs KestrelonScan's own search (never
; the report command) on a thread of its own; the page "Aparatul fiscal" polls it with a timer,
; so that the wizard keeps answering, and lists what it found. /COM=AUTO does the same without
; the wizard. Nothing is written before the install step, which pins the device chosen with the
; same pin as /COM (PinSettings).

Var SearchDevice ; "1" for /COM=AUTO
Var PortGiven ; "1" when /COM=COMn named the port: the page has nothing to ask
Var DeviceProgress
Var DeviceStatus
Var DeviceList
Var SearchAgainButton
Var SearchOutcome ; the plug-in's word for how the last search started, "" when it ran
Var PortInTrial ; the port the search is trying, for its text
Var PinnedNow ; the port and speed Kestrelon.ini holds now, for its text
Var SearchedIn ; the settings folder of the page's last search: shown again for the same folder,
               ; the page keeps its list and the choice
Var DeviceChoice ; the line selected in the list ("" until the search proposes one)

!define DEVICE_POLL_MS 200
!define LAST_PORT 256

; While the search runs, the page can be neither left nor changed; "Anulare" stays, and stops it,
; as Esc does: the focus goes first to the progress bar, since a disabled button that held it
; would leave no control to take the keys.
!macro DevicePageHeld HELD
  Push $0
  !if ${HELD} == 1
    SendMessage $HWNDPARENT ${WM_NEXTDLGCTL} $DeviceProgress 1
    StrCpy $0 0
  !else
    StrCpy $0 1
  !endif
  EnableWindow $DeviceList $0
  EnableWindow $SearchAgainButton $0
  Push $1
  GetDlgItem $1 $HWNDPARENT 1 ; "Înainte >"
  EnableWindow $1 $0
  GetDlgItem $1 $HWNDPARENT 3 ; "< Înapoi"
  EnableWindow $1 $0
  Pop $1
  Pop $0
!macroend

; Shown when the search ends: every device found, then the line that saves nothing; selected,
; the choice made on the page before, else the device the plug-in proposes (the pinned one or
; the first that identifies as "VF"), else the line that saves nothing.
Function ShowDevicesFound
  Push $0
  Push $1
  Push $2
  ${NSD_LB_Clear} $DeviceList
  KestrelonSetup::Found count
  Pop $1
  StrCpy $0 0
  ${DoWhile} $0 < $1
    KestrelonSetup::Found text $0
    Pop $2
    ${NSD_LB_AddString} $DeviceList $2
    IntOp $0 $0 + 1
  ${Loop}
  KestrelonSetup::Found pinned
  Pop $PinnedNow
  ${If} $PinnedNow == ""
    ${NSD_LB_AddString} $DeviceList "${TEXT_DO_NOT_SAVE}"
  ${Else}
    ${NSD_LB_AddString} $DeviceList "${TEXT_KEEP_PINNED}"
  ${EndIf}
  ${If} $SearchOutcome != ""
    ${NSD_SetText} $DeviceStatus "${TEXT_DEVICE_NOT_SEARCHED}"
  ${ElseIf} $1 = 0
    ; A copy of ours from anywhere (the zip's too) may hold the device's port.
    KestrelonSetup::ProgramRuns ""
    Pop $2
    ${If} $2 == 1
      ${NSD_SetText} $DeviceStatus "${TEXT_DEVICE_ANOTHER_COPY}"
    ${Else}
      ${NSD_SetText} $DeviceStatus "${TEXT_NO_DEVICE_FOUND}"
    ${EndIf}
  ${Else}
    ${NSD_SetText} $DeviceStatus "${TEXT_DEVICES_FOUND}"
  ${EndIf}
  ${If} $DeviceChoice == ""
    KestrelonSetup::Found proposed
    Pop $DeviceChoice
    ${IfThen} $DeviceChoice == "" ${|} StrCpy $DeviceChoice $1 ${|}
  ${EndIf}
  SendMessage $DeviceList ${LB_SETCURSEL} $DeviceChoice 0
  SendMessage $DeviceProgress ${PBM_SETPOS} ${LAST_PORT} 0
  !insertmacro DevicePageHeld 0
  SendMessage $HWNDPARENT ${WM_NEXTDLGCTL} $DeviceList 1 ; Return then presses "Înainte >"
  Pop $2
  Pop $1
  Pop $0
FunctionEnd

Function PollDeviceSearch
  KestrelonSetup::SearchProgress
  Pop $PortInTrial
  ${If} $PortInTrial == "done"
    ${NSD_KillTimer} PollDeviceSearch
    Call ShowDevicesFound
  ${Else}
    SendMessage $DeviceProgress ${PBM_SETPOS} $PortInTrial 0
    ${NSD_SetText} $DeviceStatus "${TEXT_DEVICE_SEARCHING}"
  ${EndIf}
FunctionEnd

Function StartDeviceSearch
  !insertmacro DevicePageHeld 1
  StrCpy $DeviceChoice ""
  StrCpy $SearchedIn $SettingsFolder
  ${NSD_LB_Clear} $DeviceList
  SendMessage $DeviceProgress ${PBM_SETPOS} 0 0
  StrCpy $PortInTrial 1
  ${NSD_SetText} $DeviceStatus "${TEXT_DEVICE_SEARCHING}"
  KestrelonSetup::StartSearch $SettingsFolder
  Pop $SearchOutcome
  ${If} $SearchOutcome == ""
    ${NSD_CreateTimer} PollDeviceSearch ${DEVICE_POLL_MS}
  ${Else}
    Call ShowDevicesFound
  ${EndIf}
FunctionEnd

; A new search (the sales program closed meanwhile, say), which proposes anew.
Function SearchAgain
  Pop $DeviceChoice ; the button
  Call StartDeviceSearch
FunctionEnd

Function FiscalDevicePage
  ${IfThen} $PortGiven == 1 ${|} Abort ${|}
  Push $0
  !insertmacro MUI_HEADER_TEXT "${TEXT_DEVICE_PAGE_TITLE}" "${TEXT_DEVICE_PAGE_SUBTITLE}"
  nsDialogs::Create 1018
  Pop $0
  ${NSD_CreateLabel} 0 0 100% 32u "${TEXT_DEVICE_PAGE_TEXT}"
  Pop $0
  ${NSD_CreateProgressBar} 0 34u 100% 8u ""
  Pop $DeviceProgress
  SendMessage $DeviceProgress ${PBM_SETRANGE32} 0 ${LAST_PORT}
  ${NSD_CreateLabel} 0 45u 100% 32u ""
  Pop $DeviceStatus
  ${NSD_CreateListBox} 0 78u 220u 60u ""
  Pop $DeviceList
  ${NSD_CreateButton} 224u 78u 71u 15u "${TEXT_SEARCH_AGAIN}"
  Pop $SearchAgainButton
  ${NSD_OnClick} $SearchAgainButton SearchAgain
  ${NSD_OnBack} KeepDeviceChoice
  ${If} $SearchedIn == $SettingsFolder
    Call ShowDevicesFound
  ${Else}
    Call StartDeviceSearch
  ${EndIf}
  nsDialogs::Show
  Pop $0
FunctionEnd

; Back keeps what was chosen: the page shows it again, without a new search.
Function KeepDeviceChoice
  SendMessage $DeviceList ${LB_GETCURSEL} 0 0 $DeviceChoice
FunctionEnd

; The device chosen is pinned by the install; a device that does not identify as "VF" only after
; a Yes, and the line that saves nothing pins nothing.
Function FiscalDevicePageLeave
  Push $0
  KestrelonSetup::SearchProgress
  Pop $0
  ${If} $0 != "done"
    Pop $0
    Abort ; still searching
  ${EndIf}
  Call KeepDeviceChoice
  KestrelonSetup::Found fiscal $DeviceChoice
  Pop $0
  ${If} $0 == 0
    ${IfNot} ${Cmd} `MessageBox MB_YESNO|MB_ICONEXCLAMATION|MB_DEFBUTTON2 "${TEXT_NOT_VF_QUESTION}" IDYES`
      Pop $0
      Abort ; stays on the page
    ${EndIf}
  ${EndIf}
  KestrelonSetup::Found port $DeviceChoice
  Pop $PinnedPort
  KestrelonSetup::Found speed $DeviceChoice
  Pop $PinnedSpeed
  Pop $0
FunctionEnd

; /COM=AUTO without the wizard: the device the page would have chosen, or none, which the exit
; code tells (EXIT_NO_DEVICE; a later failure has its own).
Function FindDeviceSilently
  Push $0
  KestrelonSetup::StartSearch $SettingsFolder
  Pop $0
  ${IfThen} $0 == "" ${|} KestrelonSetup::FinishSearch ${|}
  KestrelonSetup::Found proposed
  Pop $0
  ${If} $0 == ""
    SetErrorLevel ${EXIT_NO_DEVICE}
  ${Else}
    KestrelonSetup::Found port $0
    Pop $PinnedPort
    KestrelonSetup::Found speed $0
    Pop $PinnedSpeed
  ${EndIf}
  Pop $0
FunctionEnd
