; Tonvale-setup.exe: installs the playback service Tonvaled.exe and the player
; plug-in out_tonvale.dll, registers the service and its firewall rule, and
; writes an uninstaller that undoes exactly that.
;
; Built by the installer target of the CMake build:
;   makensis -DTONVALED_EXE=<Tonvaled.exe> [-DPLUGIN_DLL=<out_tonvale.dll>]
;            -DVERSION=<1.0> -DVERSION_QUAD=<1.0.0.0> [-DCOMPANY=...]
;            [-DCOPYRIGHT=...] [-DTARGET_AMD64] -DOUTFILE=<Tonvale-setup.exe>
;            Tonvale.nsi
; The version comes from the CMake project (CMakeLists.txt), as the
; binaries' own version resources do.
;
; The setup users get is 32-bit and packs the 32-bit programs. TARGET_AMD64
; makes a 64-bit setup of the 64-bit build instead, for machines that run no
; 32-bit programs: it installs under the native Program Files, and reads and
; writes the native (64-bit) registry view, where a 64-bit player, the one
; that would load a 64-bit plug-in, keeps its entries.
;
; Command line of the setup program (see installer/README-section.md):
;   /S                        no window; both components unless /COMPONENTS says
;   /COMPONENTS=service,plugin   the components to install (one or both)
;   /PLUGINDIR=<folder>       the player's Plugins folder for out_tonvale.dll
;   /D=<folder>               the service's folder (last, unquoted)
; Of the uninstaller:
;   /S                        no window
;   /PURGE                    also delete the settings (INI) and log files
;
; Exit codes: 0 done, 1 cancelled by the user, 2 aborted, 3 bad command line,
; 4 no administrator rights, 5 a file could not be written, 6 the service
; could not be installed, started, stopped or removed.

!ifdef TARGET_AMD64
  Target amd64-unicode
!else
  Unicode true
!endif
SetCompressor /SOLID lzma
RequestExecutionLevel admin

!ifndef TONVALED_EXE
  !error "Define TONVALED_EXE: the path of the built Tonvaled.exe"
!endif
!ifndef OUTFILE
  !define OUTFILE "Tonvale-setup.exe"
!endif
!ifndef VERSION
  !error "Define VERSION: the build's version as people read it (1.0)"
!endif
!ifndef VERSION_QUAD
  !error "Define VERSION_QUAD: the build's version as four numbers (1.0.0.0)"
!endif
!ifndef COMPANY
  !define COMPANY "Tonvale"
!endif
!ifndef COPYRIGHT
  !define COPYRIGHT "Copyright (C) 2026 the Tonvale developers"
!endif

!define PRODUCT "Tonvale"
!define SERVICE "Tonvaled"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\${PRODUCT}"
!define PLAYER_UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Winamp"
!define FIREWALL_RULE "Tonvale playback service"

!define EXIT_BAD_SWITCH 3
!define EXIT_NO_RIGHTS 4
!define EXIT_FILE 5
!define EXIT_SERVICE 6

!define SERVICE_STOPPED 1
!define SERVICE_RUNNING 4

Name "${PRODUCT}"
Caption "${PRODUCT} Setup"
UninstallCaption "${PRODUCT} ${VERSION} Uninstall"
OutFile "${OUTFILE}"
!ifdef TARGET_AMD64
  InstallDir "$PROGRAMFILES64\${PRODUCT}"
!else
  InstallDir "$PROGRAMFILES\${PRODUCT}"
!endif
InstallDirRegKey HKLM "${UNINSTALL_KEY}" "InstallLocation"
BrandingText "${PRODUCT} ${VERSION}"
ShowInstDetails show
ShowUninstDetails show

; The setup program's own properties.
VIProductVersion "${VERSION_QUAD}"
VIFileVersion "${VERSION_QUAD}"
VIAddVersionKey /LANG=0 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=0 "FileDescription" "${PRODUCT} ${VERSION} Setup"
VIAddVersionKey /LANG=0 "FileVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=0 "CompanyName" "${COMPANY}"
VIAddVersionKey /LANG=0 "LegalCopyright" "${COPYRIGHT}"
VIAddVersionKey /LANG=0 "OriginalFilename" "Tonvale-setup.exe"

!include MUI2.nsh
!include LogicLib.nsh
!include FileFunc.nsh
!include WordFunc.nsh
!include Sections.nsh

Var PluginDir       ; the player's Plugins folder
Var CmdOutput       ; what the last Tonvaled command printed
Var Purge           ; uninstaller: 1 when settings and logs go too
Var InstalledBytes  ; the size of the files setup installed

;--------------------------------------------------------------------------
; Pages

!define MUI_ABORTWARNING
!define MUI_WELCOMEPAGE_TITLE "Welcome to ${PRODUCT} ${VERSION} Setup"
!define MUI_WELCOMEPAGE_TEXT "Setup will install ${PRODUCT} ${VERSION}: the playback service Tonvaled, which plays on this machine's speakers what a player sends it, and the player's output plug-in, which sends it.$\r$\n$\r$\n$_CLICK"
!insertmacro MUI_PAGE_WELCOME
!define MUI_COMPONENTSPAGE_SMALLDESC
!define MUI_PAGE_CUSTOMFUNCTION_LEAVE RequireOneComponent
!insertmacro MUI_PAGE_COMPONENTS

!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipUnlessService
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup will install the playback service Tonvaled.exe in the following folder. Its settings (Tonvaled.ini) and log (Tonvaled.log) live beside it."
!insertmacro MUI_PAGE_DIRECTORY

!define MUI_PAGE_CUSTOMFUNCTION_PRE SkipUnlessPlugin
!define MUI_PAGE_HEADER_SUBTEXT "Choose the player's Plugins folder."
!define MUI_DIRECTORYPAGE_TEXT_TOP "Setup will copy the output plug-in out_tonvale.dll into the player's Plugins folder below. An existing out_tonvale.ini there is kept."
!define MUI_DIRECTORYPAGE_TEXT_DESTINATION "Player's Plugins folder"
!define MUI_DIRECTORYPAGE_VARIABLE $PluginDir
!insertmacro MUI_PAGE_DIRECTORY

!insertmacro MUI_PAGE_INSTFILES

!define MUI_FINISHPAGE_TEXT "${PRODUCT} ${VERSION} has been installed.$\r$\n$\r$\nThe playback service Tonvaled listens on TCP port 4554 unless Tonvaled.ini says otherwise. In the player, choose the Tonvale output plug-in in the output preferences."
!insertmacro MUI_PAGE_FINISH

!define MUI_UNCONFIRMPAGE_TEXT_TOP "${PRODUCT} ${VERSION} will be uninstalled from the following folder. $_CLICK"
!insertmacro MUI_UNPAGE_CONFIRM
!define MUI_PAGE_HEADER_SUBTEXT "Choose whether your settings and logs go too."
!define MUI_COMPONENTSPAGE_TEXT_TOP "The program files are always removed. Tick the box to delete your settings (Tonvaled.ini, out_tonvale.ini) and the service's log as well."
!insertmacro MUI_UNPAGE_COMPONENTS
!insertmacro MUI_UNPAGE_INSTFILES

!insertmacro MUI_LANGUAGE "English"

;--------------------------------------------------------------------------
; Helpers shared by setup and uninstaller (prefix "" or "un.").

!macro SharedFunctions un

; Writes the text on the top of the stack, and a line end, to standard error
; when the process has one: silent runs have no window to show it in.
Function ${un}WriteStdErr
  Exch $R0
  Push $R1
  Push $R2
  System::Call 'kernel32::GetStdHandle(i -12) p.R1'
  ${If} $R1 <> 0
  ${AndIf} $R1 <> -1
    StrCpy $R0 "$R0$\r$\n"
    StrLen $R2 $R0
    System::Call 'kernel32::WriteFile(p R1, m R0, i R2, *i .R2, p 0)'
  ${EndIf}
  Pop $R2
  Pop $R1
  Pop $R0
FunctionEnd

; Stack: exit code, message (pushed in that order). Reports the failure in the
; details, on standard error and, unless silent, in a message box; then ends
; the run with that exit code.
Function ${un}Fail
  Exch $R0          ; message
  Exch
  Exch $R1          ; exit code
  DetailPrint "Error: $R0"
  Push "${PRODUCT} setup error: $R0"
  Call ${un}WriteStdErr
  MessageBox MB_OK|MB_ICONSTOP "$R0" /SD IDOK
  SetErrorLevel $R1
  Abort "$R0"
FunctionEnd

; $R9 in: a Windows error code; out: "Windows error code: system text".
Function ${un}ErrorText
  Push $R8
  Push $R7
  System::Call 'kernel32::FormatMessageW(i 0x1200, p 0, i R9, i 0, w .R8, i ${NSIS_MAX_STRLEN}, p 0) i.R7'
  ${If} $R7 = 0
    StrCpy $R8 ""
  ${EndIf}
  ; The system text ends with a line end; the message stays on one line.
  ${Do}
    StrCpy $R7 $R8 1 -1
    ${If} $R7 == "$\n"
    ${OrIf} $R7 == "$\r"
    ${OrIf} $R7 == " "
      StrCpy $R8 $R8 -1
    ${Else}
      ${Break}
    ${EndIf}
  ${Loop}
  StrCpy $R9 "Windows error $R9: $R8"
  Pop $R7
  Pop $R8
FunctionEnd

; $R0 out: 0 when the service is not installed, else its current state.
Function ${un}ServiceState
  Push $R1
  Push $R2
  Push $R3
  StrCpy $R0 0
  System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.R1'
  ${If} $R1 <> 0
    System::Call 'advapi32::OpenServiceW(p R1, w "${SERVICE}", i 4) p.R2'
    ${If} $R2 <> 0
      System::Call '*(i, i, i, i, i, i, i) p.R3'
      System::Call 'advapi32::QueryServiceStatus(p R2, p R3) i.R0'
      ${If} $R0 <> 0
        System::Call '*$R3(i, i .R0)'
      ${Else}
        StrCpy $R0 ${SERVICE_STOPPED}
      ${EndIf}
      System::Free $R3
      System::Call 'advapi32::CloseServiceHandle(p R2)'
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p R1)'
  ${EndIf}
  Pop $R3
  Pop $R2
  Pop $R1
FunctionEnd

; $R0 in: the state to wait for, $R1 in: the time limit in milliseconds.
; $R0 out: the state reached (the wanted one, or the last seen at the limit).
Function ${un}WaitForServiceState
  Push $R2
  Push $R3
  StrCpy $R2 $R0
  StrCpy $R3 0
  ${Do}
    Call ${un}ServiceState
    ${If} $R0 = $R2
    ${OrIf} $R3 >= $R1
      ${Break}
    ${EndIf}
    ; A stopped service does not start by itself.
    ${If} $R2 = ${SERVICE_RUNNING}
    ${AndIf} $R0 = ${SERVICE_STOPPED}
      ${Break}
    ${EndIf}
    Sleep 200
    IntOp $R3 $R3 + 200
  ${Loop}
  Pop $R3
  Pop $R2
FunctionEnd

; $R0 in: the program, $R1 in: its arguments. Runs it hidden; what it printed
; goes to $CmdOutput and to the details. The service's management commands
; always exit with 0, so callers judge by the service's state afterwards.
Function ${un}RunHidden
  DetailPrint '"$R0" $R1'
  nsExec::ExecToStack '"$R0" $R1'
  Pop $CmdOutput
  Pop $CmdOutput
  DetailPrint "$CmdOutput"
FunctionEnd

!if "${un}" == ""
; $R0 in: the source, $R1 in: the destination. $R9 out: 0 when copied, else
; the Windows error. A program that is just ending may hold its file a little
; longer than its service's stopped state says, hence the retries.
Function ${un}CopyFileRetrying
  Push $R2
  Push $R8
  StrCpy $R2 0
  ${Do}
    System::Call 'kernel32::CopyFileW(w R0, w R1, i 0) i.R8 ?e'
    Pop $R9
    ${If} $R8 <> 0
      StrCpy $R9 0
      ${Break}
    ${EndIf}
    ${If} $R2 >= 25
      ${Break}
    ${EndIf}
    ; Only "in use" is worth waiting for.
    ${If} $R9 <> 32
    ${AndIf} $R9 <> 5
      ${Break}
    ${EndIf}
    Sleep 200
    IntOp $R2 $R2 + 1
  ${Loop}
  Pop $R8
  Pop $R2
FunctionEnd
!endif

!if "${un}" == "un."
; $R0 in: the file. $R9 out: 0 when it is gone, else the Windows error.
Function ${un}DeleteFileRetrying
  Push $R2
  Push $R8
  StrCpy $R2 0
  ${Do}
    StrCpy $R9 0
    ${IfNot} ${FileExists} "$R0"
      ${Break}
    ${EndIf}
    System::Call 'kernel32::DeleteFileW(w R0) i.R8 ?e'
    Pop $R9
    ${If} $R8 <> 0
      StrCpy $R9 0
      ${Break}
    ${EndIf}
    ${If} $R2 >= 25
      ${Break}
    ${EndIf}
    Sleep 200
    IntOp $R2 $R2 + 1
  ${Loop}
  Pop $R8
  Pop $R2
FunctionEnd
!endif

; Stops the service when it runs. $R0 in: a Tonvaled.exe to send /stop with
; (the command reaches the service by name, so any copy will do).
Function ${un}StopService
  Push $R1
  Push $R2
  StrCpy $R2 $R0
  Call ${un}ServiceState
  ${If} $R0 <> 0
  ${AndIf} $R0 <> ${SERVICE_STOPPED}
    StrCpy $R0 $R2
    StrCpy $R1 "/stop"
    Call ${un}RunHidden
    StrCpy $R0 ${SERVICE_STOPPED}
    StrCpy $R1 30000
    Call ${un}WaitForServiceState
    ${If} $R0 <> ${SERVICE_STOPPED}
      Push ${EXIT_SERVICE}
      Push "The running ${SERVICE} service could not be stopped (state $R0). $CmdOutput"
      Call ${un}Fail
    ${EndIf}
  ${EndIf}
  Pop $R2
  Pop $R1
FunctionEnd

; Needs administrator rights for the service control manager and the
; program folders; says so instead of failing half-way.
Function ${un}RequireAdmin
  UserInfo::GetAccountType
  Pop $R0
  ${If} $R0 != "Admin"
    Push ${EXIT_NO_RIGHTS}
    Push "${PRODUCT} setup needs administrator rights (this account is $R0). Run it again as an administrator."
    Call ${un}Fail
  ${EndIf}
FunctionEnd

!macroend

!insertmacro SharedFunctions ""
!insertmacro SharedFunctions "un."

;--------------------------------------------------------------------------
; Setup

; Always first: the uninstaller and its Add/Remove Programs entry, so that
; whatever a later step leaves behind can be removed.
Section "-Uninstaller"
  ClearErrors
  CreateDirectory "$INSTDIR"
  SetOutPath "$INSTDIR"
  WriteUninstaller "$INSTDIR\Uninstall.exe"
  ${If} ${Errors}
    Push ${EXIT_FILE}
    Push "Cannot write $INSTDIR\Uninstall.exe."
    Call Fail
  ${EndIf}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${If} ${Errors}
    Push ${EXIT_NO_RIGHTS}
    Push "Cannot write the uninstall entry HKLM\${UNINSTALL_KEY}."
    Call Fail
  ${EndIf}
SectionEnd

Section "Playback service" SecService
  SetOutPath "$PLUGINSDIR"
  File "/oname=$PLUGINSDIR\Tonvaled.exe" "${TONVALED_EXE}"

  ; An existing service is upgraded in place: stopped, its program replaced,
  ; its entry pointed at this folder; its INI and log are never touched.
  Call ServiceState
  StrCpy $R7 $R0
  ${If} $R7 <> 0
    DetailPrint "Upgrading the installed ${SERVICE} service."
    StrCpy $R0 "$PLUGINSDIR\Tonvaled.exe"
    Call StopService
  ${EndIf}

  StrCpy $R0 "$PLUGINSDIR\Tonvaled.exe"
  StrCpy $R1 "$INSTDIR\Tonvaled.exe"
  DetailPrint "Copy to $R1"
  Call CopyFileRetrying
  ${If} $R9 <> 0
    Call ErrorText
    Push ${EXIT_FILE}
    Push "Cannot write $INSTDIR\Tonvaled.exe ($R9)."
    Call Fail
  ${EndIf}

  ${If} $R7 = 0
    StrCpy $R0 "$INSTDIR\Tonvaled.exe"
    StrCpy $R1 "/install auto"
    Call RunHidden
    Call ServiceState
    ${If} $R0 = 0
      Push ${EXIT_SERVICE}
      Push "The ${SERVICE} service could not be installed. $CmdOutput"
      Call Fail
    ${EndIf}
  ${Else}
    ; The same command line as "/install" writes: the quoted path, then " /service".
    StrCpy $R4 '"$INSTDIR\Tonvaled.exe" /service'
    System::Call 'advapi32::OpenSCManagerW(p 0, p 0, i 1) p.R1'
    ; SERVICE_CHANGE_CONFIG, and SERVICE_START for the restart actions below.
    System::Call 'advapi32::OpenServiceW(p R1, w "${SERVICE}", i 0x12) p.R2'
    System::Call 'advapi32::ChangeServiceConfigW(p R2, i -1, i -1, i -1, w R4, p 0, p 0, p 0, p 0, p 0, p 0) i.R3 ?e'
    Pop $R9
    ${If} $R3 <> 0
      Call SetRestartOnFailure
    ${EndIf}
    System::Call 'advapi32::CloseServiceHandle(p R2)'
    System::Call 'advapi32::CloseServiceHandle(p R1)'
    ${If} $R3 = 0
      Call ErrorText
      Push ${EXIT_SERVICE}
      Push "The ${SERVICE} service could not be pointed at $INSTDIR\Tonvaled.exe ($R9)."
      Call Fail
    ${EndIf}
  ${EndIf}

  ; Players on the local subnet reach the service through this rule; the
  ; service has no authentication, so nothing further is admitted (the README
  ; says how to widen it). Its second half admits the multicast DNS queries
  ; (UDP 5353) by which players find the service, from the same subnet. Both
  ; halves share the name, so one delete removes both. A failure here leaves
  ; a working local service, so it is a warning, not an abort.
  nsExec::ExecToStack '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}"'
  Pop $R0
  Pop $R1
  DetailPrint 'Firewall: netsh advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\Tonvaled.exe" remoteip=localsubnet'
  nsExec::ExecToStack '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\Tonvaled.exe" enable=yes profile=any protocol=TCP remoteip=localsubnet'
  Pop $R0
  Pop $R1
  ${If} $R0 == 0
    nsExec::ExecToStack '"$SYSDIR\netsh.exe" advfirewall firewall add rule name="${FIREWALL_RULE}" dir=in action=allow program="$INSTDIR\Tonvaled.exe" enable=yes profile=any protocol=UDP localport=5353 remoteip=localsubnet'
    Pop $R0
    Pop $R1
  ${EndIf}
  ${If} $R0 != 0
    DetailPrint "Warning: the firewall rule could not be added (netsh: $R0 $R1). Allow inbound TCP, and UDP port 5353, to $INSTDIR\Tonvaled.exe by hand."
    Push "${PRODUCT} setup warning: the firewall rule could not be added (netsh: $R0). Allow inbound TCP, and UDP port 5353, to $INSTDIR\Tonvaled.exe by hand."
    Call WriteStdErr
  ${EndIf}

  StrCpy $R0 "$INSTDIR\Tonvaled.exe"
  StrCpy $R1 "/start"
  Call RunHidden
  StrCpy $R0 ${SERVICE_RUNNING}
  StrCpy $R1 10000
  Call WaitForServiceState
  ; The service reports running before it opens its port; one that cannot
  ; listen ends a moment later.
  ${If} $R0 = ${SERVICE_RUNNING}
    Sleep 1000
    Call ServiceState
  ${EndIf}
  ${If} $R0 <> ${SERVICE_RUNNING}
    Push ${EXIT_SERVICE}
    Push "The ${SERVICE} service did not start or did not keep running (state $R0); $INSTDIR\Tonvaled.log tells why. $CmdOutput"
    Call Fail
  ${EndIf}
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "Service" 1
SectionEnd

!ifdef PLUGIN_DLL
Section "Player plug-in" SecPlugin
  ${If} $PluginDir == ""
    Push ${EXIT_BAD_SWITCH}
    Push "No Plugins folder for the player was given."
    Call Fail
  ${EndIf}
  ; The top-most folder that setup creates, so that the uninstaller removes
  ; those folders (when empty) and no others.
  StrCpy $R0 $PluginDir
  StrCpy $R6 ""
  ${Do}
    ${If} ${FileExists} "$R0\*.*"
      ${Break}
    ${EndIf}
    StrCpy $R6 $R0
    ${GetParent} "$R0" $R0
  ${LoopUntil} $R0 == ""
  ClearErrors
  CreateDirectory "$PluginDir"
  ${IfNot} ${FileExists} "$PluginDir\*.*"
    Push ${EXIT_FILE}
    Push "Cannot create the player's Plugins folder $PluginDir."
    Call Fail
  ${EndIf}
  SetOutPath "$PLUGINSDIR"
  File "/oname=$PLUGINSDIR\out_tonvale.dll" "${PLUGIN_DLL}"
  StrCpy $R0 "$PLUGINSDIR\out_tonvale.dll"
  StrCpy $R1 "$PluginDir\out_tonvale.dll"
  DetailPrint "Copy to $R1"
  Call CopyFileRetrying
  ${If} $R9 <> 0
    Call ErrorText
    Push ${EXIT_FILE}
    Push "Cannot write $PluginDir\out_tonvale.dll ($R9). Close the player and try again."
    Call Fail
  ${EndIf}
  WriteRegStr HKLM "${UNINSTALL_KEY}" "PluginFolder" "$PluginDir"
  ${If} $R6 != ""
    WriteRegStr HKLM "${UNINSTALL_KEY}" "PluginFolderCreated" "$R6"
  ${EndIf}
SectionEnd
!endif

; Last: the size the Programs list shows, in KB rounded up, of the program
; files the uninstaller would remove, this run's and an earlier run's other
; component alike; the settings and logs beside them are not counted.
Section "-Size"
  StrCpy $InstalledBytes 0
  StrCpy $R0 "$INSTDIR\Uninstall.exe"
  Call AddInstalledSize
  StrCpy $R0 "$INSTDIR\Tonvaled.exe"
  Call AddInstalledSize
  ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "PluginFolder"
  ${If} $R1 != ""
    StrCpy $R0 "$R1\out_tonvale.dll"
    Call AddInstalledSize
  ${EndIf}
  IntOp $R0 $InstalledBytes + 1023
  IntOp $R0 $R0 / 1024
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $R0
SectionEnd

; $R2 in: the upgraded service's handle. Gives an entry made by an older
; Tonvaled.exe /install the restarts after a failure that /install sets now:
; after 1 s, 5 s, then 60 s, counted anew after a day. Like the firewall rule,
; a failure here is a warning: the service works without them.
Function SetRestartOnFailure
  Push $R5
  Push $R6
  Push $R7
  Push $R9
  ; Three SC_ACTION records {SC_ACTION_RESTART, delay in ms}, and the
  ; SERVICE_FAILURE_ACTIONS record {reset period in s, reboot message,
  ; command, count, actions} that points at them. System lays the fields out
  ; packed, so on x64 the zeros after the two DWORDs stand for the padding
  ; that aligns the pointers after them to 8 bytes.
  System::Call '*(i 1, i 1000, i 1, i 5000, i 1, i 60000) p.R5'
!ifdef TARGET_AMD64
  System::Call '*(i 86400, i 0, p 0, p 0, i 3, i 0, p R5) p.R6'
!else
  System::Call '*(i 86400, p 0, p 0, i 3, p R5) p.R6'
!endif
  System::Call 'advapi32::ChangeServiceConfig2W(p R2, i 2, p R6) i.R7 ?e'
  Pop $R9
  System::Free $R6
  System::Free $R5
  ${If} $R7 = 0
    Call ErrorText
    DetailPrint "Warning: the ${SERVICE} service will not be restarted after a failure ($R9)."
    Push "${PRODUCT} setup warning: the ${SERVICE} service will not be restarted after a failure ($R9)."
    Call WriteStdErr
  ${EndIf}
  Pop $R9
  Pop $R7
  Pop $R6
  Pop $R5
FunctionEnd

; $R0 in: a file; its size in bytes is added to $InstalledBytes.
Function AddInstalledSize
  Push $R1
  Push $R2
  ClearErrors
  FileOpen $R1 "$R0" r
  ${IfNot} ${Errors}
    FileSeek $R1 0 END $R2
    FileClose $R1
    IntOp $InstalledBytes $InstalledBytes + $R2
  ${EndIf}
  Pop $R2
  Pop $R1
FunctionEnd

!insertmacro MUI_FUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecService} "Tonvaled.exe, the Windows service that plays the sound on this machine's speakers (TCP port 4554)."
!ifdef PLUGIN_DLL
  !insertmacro MUI_DESCRIPTION_TEXT ${SecPlugin} "out_tonvale.dll, the player's output plug-in that sends the sound to a Tonvaled service."
!endif
!insertmacro MUI_FUNCTION_DESCRIPTION_END

; The player's folder: the default value of HKCU\Software\Winamp, else the
; folder of its uninstaller, else its default folder. $R0 out: its Plugins.
Function FindPlayerPlugins
  ReadRegStr $R0 HKCU "Software\Winamp" ""
  ${If} $R0 == ""
    ReadRegStr $R1 HKLM "${PLAYER_UNINSTALL_KEY}" "UninstallString"
    ${If} $R1 == ""
      ReadRegStr $R1 HKCU "${PLAYER_UNINSTALL_KEY}" "UninstallString"
    ${EndIf}
    ${If} $R1 != ""
      ; "C:\...\UninstWA.exe" /args: the quoted or the plain program path.
      StrCpy $R2 $R1 1
      ${If} $R2 == '"'
        StrCpy $R1 $R1 "" 1
        ${WordFind} "$R1" '"' "+1" $R1
      ${EndIf}
      ${GetParent} "$R1" $R0
    ${EndIf}
  ${EndIf}
  ${If} $R0 == ""
!ifdef TARGET_AMD64
    StrCpy $R0 "$PROGRAMFILES64\Winamp"
!else
    StrCpy $R0 "$PROGRAMFILES32\Winamp"
!endif
  ${EndIf}
  ; A trailing backslash would double in the path below.
  StrCpy $R1 $R0 1 -1
  ${If} $R1 == "\"
    StrCpy $R0 $R0 -1
  ${EndIf}
  StrCpy $R0 "$R0\Plugins"
FunctionEnd

; /COMPONENTS=service,plugin selects the components; anything else there is
; refused, so that a script's typing mistake does not install the wrong thing.
Function SelectComponents
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/COMPONENTS=" $R1
  ${IfNot} ${Errors}
    !insertmacro UnselectSection ${SecService}
!ifdef PLUGIN_DLL
    !insertmacro UnselectSection ${SecPlugin}
!endif
    ; $R1 is taken apart at its commas, one name in $R2 at a time.
    StrCpy $R3 0
    StrCpy $R1 "$R1,"
    StrCpy $R2 ""
    ${Do}
      StrCpy $R4 $R1 1
      StrCpy $R1 $R1 "" 1
      ${If} $R4 != ","
        StrCpy $R2 "$R2$R4"
        ${Continue}
      ${EndIf}
      ${If} $R2 == "service"
        !insertmacro SelectSection ${SecService}
        IntOp $R3 $R3 + 1
!ifdef PLUGIN_DLL
      ${ElseIf} $R2 == "plugin"
        !insertmacro SelectSection ${SecPlugin}
        IntOp $R3 $R3 + 1
!endif
      ${ElseIf} $R2 != ""
        Push ${EXIT_BAD_SWITCH}
        Push 'Unknown component "$R2" in /COMPONENTS= (known: service, plugin).'
        Call Fail
      ${EndIf}
      StrCpy $R2 ""
    ${LoopUntil} $R1 == ""
    ${If} $R3 = 0
      Push ${EXIT_BAD_SWITCH}
      Push "/COMPONENTS= names no component (known: service, plugin)."
      Call Fail
    ${EndIf}
  ${EndIf}
  ClearErrors
  ${GetOptions} $R0 "/PLUGINDIR=" $R1
  ${IfNot} ${Errors}
    StrCpy $PluginDir $R1
  ${EndIf}
FunctionEnd

Function .onInit
!ifdef TARGET_AMD64
  SetRegView 64
!endif
  Call RequireAdmin
  Call FindPlayerPlugins
  StrCpy $PluginDir $R0
  Call SelectComponents
FunctionEnd

Function SkipUnlessService
  ${IfNot} ${SectionIsSelected} ${SecService}
    Abort
  ${EndIf}
FunctionEnd

Function SkipUnlessPlugin
!ifdef PLUGIN_DLL
  ${IfNot} ${SectionIsSelected} ${SecPlugin}
    Abort
  ${EndIf}
!else
  Abort
!endif
FunctionEnd

; Nothing chosen would install only the uninstaller.
Function RequireOneComponent
  ${IfNot} ${SectionIsSelected} ${SecService}
!ifdef PLUGIN_DLL
  ${AndIfNot} ${SectionIsSelected} ${SecPlugin}
!endif
    MessageBox MB_OK|MB_ICONEXCLAMATION "Choose at least one component."
    Abort
  ${EndIf}
FunctionEnd

;--------------------------------------------------------------------------
; Uninstaller

Section "un.Program files" SecUnFiles
  SectionIn RO
  ReadRegDWORD $R0 HKLM "${UNINSTALL_KEY}" "Service"
  ${If} ${FileExists} "$INSTDIR\Tonvaled.exe"
  ${OrIf} $R0 = 1
    StrCpy $R0 "$INSTDIR\Tonvaled.exe"
    ${IfNot} ${FileExists} "$R0"
      DetailPrint "$R0 is missing: the ${SERVICE} service entry, if any, is left alone."
    ${Else}
      Call un.StopService
      Call un.ServiceState
      ${If} $R0 <> 0
        StrCpy $R0 "$INSTDIR\Tonvaled.exe"
        StrCpy $R1 "/remove"
        Call un.RunHidden
        StrCpy $R0 0
        StrCpy $R1 10000
        Call un.WaitForServiceState
        ${If} $R0 <> 0
          Push ${EXIT_SERVICE}
          Push "The ${SERVICE} service could not be removed. $CmdOutput"
          Call un.Fail
        ${EndIf}
      ${EndIf}
    ${EndIf}
    nsExec::ExecToStack '"$SYSDIR\netsh.exe" advfirewall firewall delete rule name="${FIREWALL_RULE}" program="$INSTDIR\Tonvaled.exe"'
    Pop $R0
    Pop $R1
    DetailPrint "Firewall rule removed (netsh: $R0)."
    StrCpy $R0 "$INSTDIR\Tonvaled.exe"
    Call un.DeleteFileRetrying
    ${If} $R9 <> 0
      Call un.ErrorText
      Push ${EXIT_FILE}
      Push "Cannot delete $INSTDIR\Tonvaled.exe ($R9)."
      Call un.Fail
    ${EndIf}
  ${EndIf}

  ReadRegStr $PluginDir HKLM "${UNINSTALL_KEY}" "PluginFolder"
  ${If} $PluginDir != ""
    StrCpy $R0 "$PluginDir\out_tonvale.dll"
    Call un.DeleteFileRetrying
    ${If} $R9 <> 0
      Call un.ErrorText
      Push ${EXIT_FILE}
      Push "Cannot delete $PluginDir\out_tonvale.dll ($R9). Close the player and try again."
      Call un.Fail
    ${EndIf}
  ${EndIf}
SectionEnd

Section /o "un.Settings and log files" SecUnSettings
  StrCpy $Purge 1
SectionEnd

; Last: the user's files only when asked for, then what setup itself wrote.
Section "-un.Finish"
  ${If} $Purge = 1
    Delete "$INSTDIR\Tonvaled.ini"
    Delete "$INSTDIR\Tonvaled.log"
    Delete "$INSTDIR\Tonvaled.log.old"
    ${If} $PluginDir != ""
      Delete "$PluginDir\out_tonvale.ini"
    ${EndIf}
  ${EndIf}
  ReadRegStr $R1 HKLM "${UNINSTALL_KEY}" "PluginFolderCreated"
  StrLen $R2 $R1
  StrCpy $R3 $PluginDir $R2
  ${If} $R1 != ""
  ${AndIf} $R3 == $R1
    StrCpy $R0 $PluginDir
    ${Do}
      RMDir "$R0"
      ${If} $R0 == $R1
        ${Break}
      ${EndIf}
      ${GetParent} "$R0" $R0
    ${LoopUntil} $R0 == ""
  ${EndIf}
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd

!insertmacro MUI_UNFUNCTION_DESCRIPTION_BEGIN
  !insertmacro MUI_DESCRIPTION_TEXT ${SecUnFiles} "Stops and removes the Tonvaled service and its firewall rule, and deletes Tonvaled.exe and out_tonvale.dll."
  !insertmacro MUI_DESCRIPTION_TEXT ${SecUnSettings} "Also deletes Tonvaled.ini, Tonvaled.log, Tonvaled.log.old and out_tonvale.ini."
!insertmacro MUI_UNFUNCTION_DESCRIPTION_END

Function un.onInit
!ifdef TARGET_AMD64
  SetRegView 64
!endif
  Call un.RequireAdmin
  StrCpy $Purge 0
  ${GetParameters} $R0
  ClearErrors
  ${GetOptions} $R0 "/PURGE" $R1
  ${IfNot} ${Errors}
    !insertmacro SelectSection ${SecUnSettings}
  ${EndIf}
FunctionEnd
