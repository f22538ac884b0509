<#
.SYNOPSIS
    Installs (or removes) the test-signed BootGuard early-launch driver.

.DESCRIPTION
    UNTESTED: written for Windows 10/11 x64, not run on the project's own
    machines. See install/README.md.

    Install:
      - turns test signing on (bcdedit), unless -SkipTestSigning;
      - optionally trusts the build's throw-away test root (-TestRoot ca.cer);
      - copies BootGuardElam.sys to %SystemRoot%\System32\drivers;
      - creates the boot-start service BootGuardElam (type 1, start 0,
        error control 3, group "Early-Launch");
      - creates the configuration key BootGuardSP\Parameters beside it with
        Enabled = 1 and DriverBlocking = 1.
    A restart loads the driver.

    Uninstall (-Uninstall): deletes the service, the configuration key and
    the image; test signing is left as it is.

.EXAMPLE
    powershell -ExecutionPolicy Bypass -File install.ps1 -Image .\BootGuardElam.sys -TestRoot .\testsign\ca.cer
#>
[CmdletBinding()]
param(
    [string]$Image = (Join-Path $PSScriptRoot 'BootGuardElam.sys'),
    [string]$TestRoot,
    [switch]$SkipTestSigning,
    [switch]$Uninstall
)

$ErrorActionPreference = 'Stop'

$ServiceName = 'BootGuardElam'
# The configuration key: the service name with "SP" in place of "Elam".
$ConfigKey = 'HKLM:\SYSTEM\CurrentControlSet\Services\BootGuardSP\Parameters'
$ConfigService = 'HKLM:\SYSTEM\CurrentControlSet\Services\BootGuardSP'
$Target = Join-Path $env:SystemRoot "System32\drivers\$ServiceName.sys"

$principal = New-Object Security.Principal.WindowsPrincipal(
    [Security.Principal.WindowsIdentity]::GetCurrent())
if (-not $principal.IsInRole([Security.Principal.WindowsBuiltInRole]::Administrator)) {
    throw 'Run this script from an elevated (administrator) PowerShell.'
}

function Invoke-Native([string]$File, [string[]]$Arguments) {
    & $File @Arguments
    if ($LASTEXITCODE -ne 0) {
        throw "$File $($Arguments -join ' ') failed with exit code $LASTEXITCODE"
    }
}

if ($Uninstall) {
    if (Get-Service -Name $ServiceName -ErrorAction SilentlyContinue) {
        Invoke-Native sc.exe @('delete', $ServiceName)
    }
    if (Test-Path $ConfigService) { Remove-Item -Path $ConfigService -Recurse -Force }
    # A boot driver stays loaded until the restart; the file may be in use.
    if (Test-Path $Target) { Remove-Item -Path $Target -Force -ErrorAction Continue }
    Write-Host 'BootGuardElam removed. Restart to unload it.'
    return
}

if (-not (Test-Path $Image)) { throw "Driver image not found: $Image" }

if (-not $SkipTestSigning) {
    # Secure Boot must be off for test signing to take effect.
    Invoke-Native bcdedit.exe @('/set', 'testsigning', 'on')
}

if ($TestRoot) {
    Import-Certificate -FilePath $TestRoot -CertStoreLocation Cert:\LocalMachine\Root | Out-Null
    Import-Certificate -FilePath $TestRoot -CertStoreLocation Cert:\LocalMachine\TrustedPublisher | Out-Null
}

Copy-Item -Path $Image -Destination $Target -Force

if (-not (Get-Service -Name $ServiceName -ErrorAction SilentlyContinue)) {
    Invoke-Native sc.exe @('create', $ServiceName, 'type=', 'kernel', 'start=', 'boot',
        'error=', 'critical', 'group=', 'Early-Launch',
        'binPath=', "System32\drivers\$ServiceName.sys",
        'DisplayName=', 'BootGuard early-launch anti-malware driver')
}

# The values the service must have, whatever sc.exe wrote.
$ServiceKey = "HKLM:\SYSTEM\CurrentControlSet\Services\$ServiceName"
Set-ItemProperty -Path $ServiceKey -Name Type -Value 1 -Type DWord
Set-ItemProperty -Path $ServiceKey -Name Start -Value 0 -Type DWord
Set-ItemProperty -Path $ServiceKey -Name ErrorControl -Value 3 -Type DWord
Set-ItemProperty -Path $ServiceKey -Name Group -Value 'Early-Launch' -Type String

New-Item -Path $ConfigKey -Force | Out-Null
New-ItemProperty -Path $ConfigKey -Name Enabled -Value 1 -PropertyType DWord -Force | Out-Null
New-ItemProperty -Path $ConfigKey -Name DriverBlocking -Value 1 -PropertyType DWord -Force | Out-Null

Write-Host "BootGuardElam installed as a boot-start driver; configuration in $ConfigKey."
Write-Host 'Restart Windows to load it.'
