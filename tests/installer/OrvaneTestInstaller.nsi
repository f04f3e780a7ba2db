; A small real installer for the tracking tests, built by makensis at build time. It installs into
; a new folder below the program-files folder (with a subfolder), puts shortcuts directly into the
; common desktop and common Start-menu folders and into the existing common Programs folder, a file
; into the existing system folder, and writes its uninstaller. In the registry it writes a value of
; every type NSIS writes below its own key in HKLM and in HKCU, and its Uninstall entry; a value it
; replaces, a value it deletes again and a key (with a subkey) it deletes again are there only while
; it runs.
;   makensis -DOUTFILE=<installer.exe> -DPAYLOAD=<payload folder> [-DX86] OrvaneTestInstaller.nsi
;
; With /EXISTING on its command line it also changes what a machine had before it (the undo's round
; trip prepares that state first): it appends its folder to the user's Path, overwrites a value of each
; type and a Run entry, deletes a value and a key with subkeys, overwrites a shared file, renames a
; file over another, deletes a file and edits an INI file in the Windows folder.
; X86 builds a 32-bit installer that installs below the 32-bit program-files folder, as a 32-bit
; setup does; without it the installer is 64-bit.
Unicode true
!ifdef X86
Target x86-unicode
!define PROGRAM_FILES "$PROGRAMFILES"
!else
Target amd64-unicode
!define PROGRAM_FILES "$PROGRAMFILES64"
!endif
SetCompressor /SOLID lzma

!include "FileFunc.nsh"

!define PRODUCT_KEY "Software\OrvaneTestProduct"
!define SHARED_KEY "Software\OrvaneTestShared"
!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\OrvaneTestProduct"

Name "Orvane Test Product"
OutFile "${OUTFILE}"
InstallDir "${PROGRAM_FILES}\Orvane Test Product"
RequestExecutionLevel admin
SilentInstall silent
SilentUnInstall silent

Section "Install"
    SetShellVarContext all
    SetOutPath "$INSTDIR"
    File "${PAYLOAD}/readme.txt"
    SetOutPath "$INSTDIR\docs"
    File "${PAYLOAD}/docs/guide.txt"
    SetOutPath "$INSTDIR"
    WriteUninstaller "$INSTDIR\uninstall.exe"
    CreateShortcut "$DESKTOP\Orvane Test Product.lnk" "$INSTDIR\readme.txt"
    CreateShortcut "$STARTMENU\Orvane Test Product.lnk" "$INSTDIR\docs\guide.txt"
    CreateShortcut "$SMPROGRAMS\Orvane Test Product Guide.lnk" "$INSTDIR\docs\guide.txt"
    SetOutPath "$SYSDIR"
    File "/oname=orvane-test-product.dat" "${PAYLOAD}/readme.txt"
    SetOutPath "$INSTDIR"

    ; Bookkeeping an installer keeps only while it runs: neither key is part of the product.
    WriteRegDWORD HKLM "${PRODUCT_KEY}\Pending" "Step" 3
    WriteRegStr HKLM "${PRODUCT_KEY}\Pending" "Source" "$EXEPATH"
    WriteRegStr HKLM "${PRODUCT_KEY}\Pending\Files" "Current" "readme.txt"
    WriteRegStr HKCU "${PRODUCT_KEY}\Session" "Started" "yes"

    WriteRegStr HKLM "${PRODUCT_KEY}" "InstallDir" "$INSTDIR"
    WriteRegStr HKLM "${PRODUCT_KEY}" "Version" "0.9.0"
    WriteRegStr HKLM "${PRODUCT_KEY}" "Version" "1.0.0"
    WriteRegDWORD HKLM "${PRODUCT_KEY}" "Build" 2048
    WriteRegExpandStr HKLM "${PRODUCT_KEY}" "LogFile" "%TEMP%\orvane-test-product.log"
    WriteRegBin HKLM "${PRODUCT_KEY}" "Signature" 4F52565401FF0010
    ; UTF-16 strings, as regedit 5 writes hex(7): "core", "docs", then the list's end.
    WriteRegMultiStr /REGEDIT5 HKLM "${PRODUCT_KEY}" "Components" \
        63,00,6f,00,72,00,65,00,00,00,64,00,6f,00,63,00,73,00,00,00,00,00
    WriteRegNone HKLM "${PRODUCT_KEY}" "Registered" 0102

    WriteRegStr HKCU "${PRODUCT_KEY}" "Language" "en-GB"
    WriteRegDWORD HKCU "${PRODUCT_KEY}" "ShowTips" 1
    WriteRegBin HKCU "${PRODUCT_KEY}" "WindowPlacement" 0A0014008002E001
    WriteRegExpandStr HKCU "${PRODUCT_KEY}" "Workspace" "%USERPROFILE%\Orvane Test Product"
    WriteRegMultiStr /REGEDIT5 HKCU "${PRODUCT_KEY}" "RecentFiles" \
        72,00,65,00,61,00,64,00,6d,00,65,00,2e,00,74,00,78,00,74,00,00,00,00,00
    WriteRegStr HKCU "${PRODUCT_KEY}" "Scratch" "gone before the end"
    DeleteRegValue HKCU "${PRODUCT_KEY}" "Scratch"

    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayName" "Orvane Test Product"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "DisplayVersion" "1.0.0"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "Publisher" "Orvane"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "InstallLocation" "$INSTDIR"
    WriteRegStr HKLM "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\uninstall.exe"'
    WriteRegStr HKLM "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\uninstall.exe" /S'
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoModify" 1
    WriteRegDWORD HKLM "${UNINSTALL_KEY}" "NoRepair" 1

    DeleteRegKey HKLM "${PRODUCT_KEY}\Pending"
    DeleteRegKey HKCU "${PRODUCT_KEY}\Session"
SectionEnd

Section "Existing"
    ${GetParameters} $R0
    ClearErrors
    ${GetOptions} $R0 "/EXISTING" $R1
    IfErrors done
    ReadRegStr $0 HKCU "Environment" "Path"
    WriteRegExpandStr HKCU "Environment" "Path" "$0;$INSTDIR\bin"
    WriteRegStr HKLM "Software\Microsoft\Windows\CurrentVersion\Run" "OrvaneShared" '"$INSTDIR\readme.txt"'
    WriteRegStr HKLM "${SHARED_KEY}" "Text" "new text"
    WriteRegExpandStr HKLM "${SHARED_KEY}" "Expand" "%SystemRoot%\new"
    WriteRegMultiStr /REGEDIT5 HKLM "${SHARED_KEY}" "List" 6e,00,65,00,77,00,00,00,00,00
    WriteRegBin HKLM "${SHARED_KEY}" "Blob" 0102030405
    WriteRegDWORD HKLM "${SHARED_KEY}" "Number" 7
    WriteRegNone HKLM "${SHARED_KEY}" "Marker" 09
    nsExec::Exec 'reg add "HKLM\${SHARED_KEY}" /v Wide /t REG_QWORD /d 77 /f'
    Pop $1
    DeleteRegValue HKLM "${SHARED_KEY}" "Obsolete"
    DeleteRegKey HKLM "${SHARED_KEY}\OldPlugin"
    SetOutPath "$COMMONFILES\OrvaneShared"
    File "/oname=shared.dll" "${PAYLOAD}/readme.txt"
    File "/oname=incoming.cfg" "${PAYLOAD}/docs/guide.txt"
    System::Call 'kernel32::MoveFileExW(w "$COMMONFILES\OrvaneShared\incoming.cfg", w "$COMMONFILES\OrvaneShared\current.cfg", i 1) i .r2'
    Delete "$COMMONFILES\OrvaneShared\obsolete.txt"
    WriteINIStr "$WINDIR\orvane-shared.ini" "Settings" "Product" "installed"
    SetOutPath "$INSTDIR"
done:
SectionEnd

Section "Uninstall"
    SetShellVarContext all
    Delete "$DESKTOP\Orvane Test Product.lnk"
    Delete "$STARTMENU\Orvane Test Product.lnk"
    Delete "$SMPROGRAMS\Orvane Test Product Guide.lnk"
    Delete "$SYSDIR\orvane-test-product.dat"
    Delete "$INSTDIR\docs\guide.txt"
    RMDir "$INSTDIR\docs"
    Delete "$INSTDIR\readme.txt"
    Delete "$INSTDIR\uninstall.exe"
    RMDir "$INSTDIR"
    DeleteRegKey HKLM "${PRODUCT_KEY}"
    DeleteRegKey HKCU "${PRODUCT_KEY}"
    DeleteRegKey HKLM "${UNINSTALL_KEY}"
SectionEnd
