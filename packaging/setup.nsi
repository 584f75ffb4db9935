; setup.exe of the Vantrel driver package: installs both builds of the ASIO driver and registers
; each with the regsvr32 of its bitness, installs the filter package with pnputil, and leaves an
; uninstaller in the installed-apps list. A 32-bit program, so that one file serves 32- and
; 64-bit Windows.
;
;   makensis -DVERSION=<x.y.z> -DSTAGE=<folder laid out as dist/> -DOUTFILE=<setup.exe>
;            -DDRIVER_NAME=<line 3 of asio.dll.ini> setup.nsi
;
; Exit codes: 0 installed, 3010 installed but a file in use is replaced at the next restart,
; 2 a driver could not be registered, 740 not run as administrator. The uninstaller takes /PURGE
; to run devpurge without asking (with /S it runs it only then).

Unicode true
!include LogicLib.nsh
!include x64.nsh
!include FileFunc.nsh

!macro Required NAME
  !ifndef ${NAME}
    !error "${NAME} not defined: makensis -DVERSION=... -DSTAGE=... -DOUTFILE=... -DDRIVER_NAME=... setup.nsi"
  !endif
!macroend
!insertmacro Required VERSION
!insertmacro Required STAGE
!insertmacro Required OUTFILE
!insertmacro Required DRIVER_NAME

!define PRODUCT "Vantrel driver package"
!define PUBLISHER "Vantrel"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Vantrel"

Name "${PRODUCT} ${VERSION}"
OutFile "${OUTFILE}"
InstallDir "$PROGRAMFILES64\Vantrel"
RequestExecutionLevel admin
SetCompressor /SOLID lzma
ShowInstDetails show
ShowUninstDetails show

VIProductVersion "${VERSION}.0"
VIFileVersion "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductName" "${PRODUCT}"
VIAddVersionKey /LANG=1033 "CompanyName" "${PUBLISHER}"
VIAddVersionKey /LANG=1033 "FileDescription" "${PRODUCT} setup"
VIAddVersionKey /LANG=1033 "FileVersion" "${VERSION}.0"
VIAddVersionKey /LANG=1033 "ProductVersion" "${VERSION}"
VIAddVersionKey /LANG=1033 "LegalCopyright" "${PUBLISHER}"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Var InUse        ; names of files that are replaced at the next restart
Var Log          ; handle of setup.log in the install folder

; Every step is shown and written to setup.log, which is what a silent run leaves to read.
!macro Report TEXT
  DetailPrint "${TEXT}"
  ${If} $Log != ""
    FileWriteUTF16LE $Log "${TEXT}$\r$\n"
  ${EndIf}
!macroend

; Puts one file in place. A file that cannot be overwritten (a host has asio.dll loaded) is
; written beside it and moved in place when Windows restarts.
!macro Put SOURCE NAME
  ClearErrors
  SetOverwrite try
  File "/oname=${NAME}" "${SOURCE}"
  ${If} ${Errors}
    SetOverwrite on
    File "/oname=${NAME}.new" "${SOURCE}"
    Rename /REBOOTOK "$OUTDIR\${NAME}.new" "$OUTDIR\${NAME}"
    StrCpy $InUse "$InUse $OUTDIR\${NAME}$\r$\n"
    !insertmacro Report "in use, replaced at the next restart: $OUTDIR\${NAME}"
  ${EndIf}
!macroend

; Registers or unregisters (/u) one asio.dll with the regsvr32 that can load it: the 64-bit one
; in the real System32 (redirection off, since this is a 32-bit process) for the x64 build, the
; 32-bit one (SysWOW64 on 64-bit Windows) for the x86 build. Leaves regsvr32's exit code, or
; "not started", in $0.
!macro Regsvr32 MODE ARCH
  ${If} ${ARCH} == x64
    ${DisableX64FSRedirection}
    ClearErrors
    ExecWait '"$WINDIR\System32\regsvr32.exe" /s ${MODE} "$INSTDIR\x64\asio.dll"' $0
    ${IfThen} ${Errors} ${|} StrCpy $0 "not started" ${|}
    ${EnableX64FSRedirection}
  ${Else}
    StrCpy $1 "$SYSDIR"
    ${IfThen} ${RunningX64} ${|} StrCpy $1 "$WINDIR\SysWOW64" ${|}
    ClearErrors
    ExecWait '"$1\regsvr32.exe" /s ${MODE} "$INSTDIR\x86\asio.dll"' $0
    ${IfThen} ${Errors} ${|} StrCpy $0 "not started" ${|}
  ${EndIf}
!macroend

; The published name pnputil gave the package ("oem<n>.inf"), found in its output whatever its
; language: Push text, Call, Pop name ("" when there is none).
Function FindPublishedName
  Exch $R0
  Push $R1
  Push $R2
  Push $R3
  Push $R4
  StrCpy $R1 0
  ${Do}
    StrCpy $R2 $R0 3 $R1
    ${If} $R2 == ""
      StrCpy $R0 ""
      ${Break}
    ${EndIf}
    ${If} $R2 == "oem"
      IntOp $R3 $R1 + 3
      ${Do}
        StrCpy $R2 $R0 1 $R3
        IntOp $R4 $R2 + 0
        ${If} $R2 != "0"
        ${AndIf} $R4 == 0
          ${Break}
        ${EndIf}
        IntOp $R3 $R3 + 1
      ${Loop}
      IntOp $R4 $R1 + 3
      StrCpy $R2 $R0 4 $R3
      ${If} $R3 > $R4
      ${AndIf} $R2 == ".inf"
        IntOp $R3 $R3 + 4
        IntOp $R3 $R3 - $R1
        StrCpy $R0 $R0 $R3 $R1
        ${Break}
      ${EndIf}
    ${EndIf}
    IntOp $R1 $R1 + 1
  ${Loop}
  Pop $R4
  Pop $R3
  Pop $R2
  Pop $R1
  Exch $R0
FunctionEnd

!macro RequireAdmin
  UserInfo::GetAccountType
  Pop $0
  ${If} $0 != "Admin"
    MessageBox MB_ICONSTOP|MB_OK "Run this program as administrator: drivers are installed for the whole system." /SD IDOK
    SetErrorLevel 740
    Quit
  ${EndIf}
!macroend

Function .onInit
  !insertmacro RequireAdmin
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  ; Installing over an installation upgrades it where it is, unless /D= names another folder.
  ReadRegStr $0 HKLM "${UNINSTALL_KEY}" "InstallLocation"
  ${If} $0 != ""
  ${AndIf} $INSTDIR == "$PROGRAMFILES64\Vantrel"
    StrCpy $INSTDIR $0
  ${EndIf}
FunctionEnd

Section "Install"
  SetShellVarContext all
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}
  CreateDirectory "$INSTDIR"
  FileOpen $Log "$INSTDIR\setup.log" w
  FileWriteUTF16LE /BOM $Log ""
  !insertmacro Report "${PRODUCT} ${VERSION} into $INSTDIR"

  SetOutPath "$INSTDIR"
  !insertmacro Put "${STAGE}/README.md" "README.md"
  SetOutPath "$INSTDIR\x86"
  !insertmacro Put "${STAGE}/x86/asio.dll" "asio.dll"
  !insertmacro Put "${STAGE}/x86/asio.dll.ini" "asio.dll.ini"
  !insertmacro Put "${STAGE}/x86/asioconfig.exe" "asioconfig.exe"
  !insertmacro Put "${STAGE}/x86/asioprobe.exe" "asioprobe.exe"
  ; A 32-bit Windows runs none of the x64 pieces.
  ${If} ${RunningX64}
    SetOutPath "$INSTDIR\x64"
    !insertmacro Put "${STAGE}/x64/asio.dll" "asio.dll"
    !insertmacro Put "${STAGE}/x64/asio.dll.ini" "asio.dll.ini"
    !insertmacro Put "${STAGE}/x64/asioconfig.exe" "asioconfig.exe"
    !insertmacro Put "${STAGE}/x64/asioprobe.exe" "asioprobe.exe"
    !insertmacro Put "${STAGE}/x64/devpurge.exe" "devpurge.exe"
    !insertmacro Put "${STAGE}/x64/usbmodeflt.sys" "usbmodeflt.sys"
    !insertmacro Put "${STAGE}/x64/usbmodeflt.inf" "usbmodeflt.inf"
  ${EndIf}

  ; The uninstaller and its entry come before the registrations, so that an installation that
  ; stops at a failed registration can still be removed.
  WriteUninstaller "$INSTDIR\uninstall.exe"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "${PRODUCT}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "${PUBLISHER}"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
  WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
  WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\uninstall.exe,0"
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1
  ${GetSize} "$INSTDIR" "/S=0K" $0 $1 $2
  WriteRegDWORD HKLM "${UNINSTALL_KEY}" "EstimatedSize" $0

  SetOutPath "$INSTDIR"
  CreateDirectory "$SMPROGRAMS\Vantrel"
  CreateShortcut "$SMPROGRAMS\Vantrel\Vantrel ASIO settings.lnk" "$INSTDIR\x86\asioconfig.exe"
  ; The test host in a console that stays open, so that its answers can be read and sent.
  CreateShortcut "$SMPROGRAMS\Vantrel\Vantrel ASIO test host (32-bit).lnk" "$SYSDIR\cmd.exe" \
    '/k ""$INSTDIR\x86\asioprobe.exe" "${DRIVER_NAME}" --run 2000"'
  ${If} ${RunningX64}
    CreateShortcut "$SMPROGRAMS\Vantrel\Vantrel ASIO test host (64-bit).lnk" "$SYSDIR\cmd.exe" \
      '/k ""$INSTDIR\x64\asioprobe.exe" "${DRIVER_NAME}" --run 2000"'
  ${EndIf}
  CreateShortcut "$SMPROGRAMS\Vantrel\Uninstall Vantrel driver package.lnk" "$INSTDIR\uninstall.exe"

  !insertmacro Regsvr32 "" x86
  !insertmacro Report "regsvr32 x86\asio.dll: $0"
  ${If} $0 != 0
    !insertmacro Report "FAILED: the 32-bit driver could not be registered"
    FileClose $Log
    MessageBox MB_ICONSTOP|MB_OK "The 32-bit ASIO driver could not be registered (regsvr32: $0). 32-bit hosts will not find it." /SD IDOK
    SetErrorLevel 2
    Abort
  ${EndIf}
  ${If} ${RunningX64}
    !insertmacro Regsvr32 "" x64
    !insertmacro Report "regsvr32 x64\asio.dll: $0"
    ${If} $0 != 0
      !insertmacro Report "FAILED: the 64-bit driver could not be registered"
      FileClose $Log
      MessageBox MB_ICONSTOP|MB_OK "The 64-bit ASIO driver could not be registered (regsvr32: $0). 64-bit hosts will not find it." /SD IDOK
      SetErrorLevel 2
      Abort
    ${EndIf}

    ; The filter package is unsigned or test-signed and the device may be absent: its failure is
    ; reported, and the ASIO driver works without it.
    ${DisableX64FSRedirection}
    ${If} ${FileExists} "$WINDIR\System32\pnputil.exe"
      nsExec::ExecToStack '"$WINDIR\System32\pnputil.exe" /add-driver "$INSTDIR\x64\usbmodeflt.inf" /install'
      Pop $0
      Pop $1
      ${EnableX64FSRedirection}
      !insertmacro Report "pnputil /add-driver usbmodeflt.inf /install: $0"
      Push $1
      Call FindPublishedName
      Pop $2
      ${If} $2 != ""
        WriteRegStr HKLM "${UNINSTALL_KEY}" "FilterPackage" $2
        !insertmacro Report "filter package: $2"
      ${EndIf}
      ${If} $0 != 0
      ${AndIf} $0 != 3010
        !insertmacro Report "WARNING: the filter package was not installed; the ASIO driver works without it (see README.md)"
        MessageBox MB_ICONEXCLAMATION|MB_OK "The filter driver package was not installed (pnputil: $0).$\r$\n$\r$\n$1$\r$\nThe ASIO driver works without it; README.md says how to install it by hand." /SD IDOK
      ${EndIf}
    ${Else}
      ${EnableX64FSRedirection}
      !insertmacro Report "WARNING: no pnputil.exe; the filter package was not installed"
      MessageBox MB_ICONEXCLAMATION|MB_OK "This system has no pnputil.exe, so the filter driver package was not installed. The ASIO driver works without it." /SD IDOK
    ${EndIf}
  ${EndIf}

  ${If} ${RebootFlag}
    !insertmacro Report "restart needed: files in use are replaced then"
    FileClose $Log
    StrCpy $Log ""
    MessageBox MB_ICONINFORMATION|MB_OK "These files are in use (a program has the driver loaded) and are replaced when Windows restarts:$\r$\n$InUse" /SD IDOK
    SetErrorLevel 3010
  ${Else}
    !insertmacro Report "done"
    FileClose $Log
    StrCpy $Log ""
  ${EndIf}
SectionEnd

Function un.onInit
  !insertmacro RequireAdmin
FunctionEnd

Section "Uninstall"
  SetShellVarContext all
  ${If} ${RunningX64}
    SetRegView 64
  ${EndIf}

  ; devpurge takes the device itself off the system; it runs from the folder, so it goes first.
  ${GetParameters} $0
  ClearErrors
  ${GetOptions} $0 "/PURGE" $1
  ${If} ${Errors}
    StrCpy $2 0
    ${If} ${RunningX64}
    ${AndIfNot} ${Silent}
      MessageBox MB_YESNO|MB_ICONQUESTION "Also remove the Vantrel device and its driver packages from this system (devpurge)?" /SD IDNO IDNO +2
      StrCpy $2 1
    ${EndIf}
  ${Else}
    StrCpy $2 1
  ${EndIf}
  ${If} $2 == 1
  ${AndIf} ${FileExists} "$INSTDIR\x64\devpurge.exe"
    ClearErrors
    ExecWait '"$INSTDIR\x64\devpurge.exe"' $0
    ${IfThen} ${Errors} ${|} StrCpy $0 "not started" ${|}
    DetailPrint "devpurge: $0 (its log: C:\ProgramData\devpurge\devpurge.log)"
  ${EndIf}

  ${If} ${RunningX64}
    !insertmacro Regsvr32 /u x64
    DetailPrint "regsvr32 /u x64\asio.dll: $0"
    ${IfThen} $0 != 0 ${|} MessageBox MB_ICONEXCLAMATION|MB_OK "The 64-bit ASIO driver could not be unregistered (regsvr32: $0)." /SD IDOK ${|}
  ${EndIf}
  !insertmacro Regsvr32 /u x86
  DetailPrint "regsvr32 /u x86\asio.dll: $0"
  ${IfThen} $0 != 0 ${|} MessageBox MB_ICONEXCLAMATION|MB_OK "The 32-bit ASIO driver could not be unregistered (regsvr32: $0)." /SD IDOK ${|}

  ; Only the filter package this installation added.
  ReadRegStr $1 HKLM "${UNINSTALL_KEY}" "FilterPackage"
  ${If} $1 != ""
    ${DisableX64FSRedirection}
    nsExec::ExecToStack '"$WINDIR\System32\pnputil.exe" /delete-driver $1 /uninstall'
    Pop $0
    Pop $2
    ${EnableX64FSRedirection}
    DetailPrint "pnputil /delete-driver $1 /uninstall: $0"
  ${EndIf}

  Delete "$SMPROGRAMS\Vantrel\Vantrel ASIO settings.lnk"
  Delete "$SMPROGRAMS\Vantrel\Vantrel ASIO test host (32-bit).lnk"
  Delete "$SMPROGRAMS\Vantrel\Vantrel ASIO test host (64-bit).lnk"
  Delete "$SMPROGRAMS\Vantrel\Uninstall Vantrel driver package.lnk"
  RMDir "$SMPROGRAMS\Vantrel"

  ; A file still in use goes at the next restart.
  !macro Remove PATH
    Delete /REBOOTOK "${PATH}"
  !macroend
  !insertmacro Remove "$INSTDIR\x86\asio.dll"
  !insertmacro Remove "$INSTDIR\x86\asio.dll.ini"
  !insertmacro Remove "$INSTDIR\x86\asioconfig.exe"
  !insertmacro Remove "$INSTDIR\x86\asioprobe.exe"
  !insertmacro Remove "$INSTDIR\x64\asio.dll"
  !insertmacro Remove "$INSTDIR\x64\asio.dll.ini"
  !insertmacro Remove "$INSTDIR\x64\asioconfig.exe"
  !insertmacro Remove "$INSTDIR\x64\asioprobe.exe"
  !insertmacro Remove "$INSTDIR\x64\devpurge.exe"
  !insertmacro Remove "$INSTDIR\x64\usbmodeflt.sys"
  !insertmacro Remove "$INSTDIR\x64\usbmodeflt.inf"
  ; What an upgrade left for a restart that has not come yet.
  !insertmacro Remove "$INSTDIR\x86\asio.dll.new"
  !insertmacro Remove "$INSTDIR\x64\asio.dll.new"
  !insertmacro Remove "$INSTDIR\README.md"
  !insertmacro Remove "$INSTDIR\setup.log"
  !insertmacro Remove "$INSTDIR\uninstall.exe"
  RMDir /REBOOTOK "$INSTDIR\x86"
  RMDir /REBOOTOK "$INSTDIR\x64"
  RMDir /REBOOTOK "$INSTDIR"

  ; The user's settings (HKCU\Software\halvane103\ASIO) stay for a later installation.
  DeleteRegKey HKLM "${UNINSTALL_KEY}"
  ${If} ${RebootFlag}
    MessageBox MB_ICONINFORMATION|MB_OK "Some files are in use and are removed when Windows restarts." /SD IDOK
    SetErrorLevel 3010
  ${EndIf}
SectionEnd
