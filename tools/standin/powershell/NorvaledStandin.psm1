# The Windows cmdlets that the attachment's PowerShell scripts call and Linux lacks, as
# functions backed by the stand-in initiator: the msiscsi daemon (asked through `standin query`)
# and its tools on PATH. Each is modelled on its Windows documentation: the same parameters for
# what the scripts pass (and a few neighbours), the same kind of result object with the
# properties the scripts read, and the same failures: a non-terminating error (so that
# -ErrorAction decides) where the cmdlet writes one, a prompt for the Remove/Disconnect cmdlets
# (ConfirmImpact High) that fails under -NonInteractive unless -Confirm:$false is given.
# Imported by run-script.ps1 with -Global, so these functions shadow any cmdlet of that name.
Set-StrictMode -Version 3.0

# The stand-in program beside msiscsi on PATH; $null when the initiator is not installed, which
# is how the library itself tells (no msiscsi on PATH: no initiator service).
# Looked up once for each PATH: the scripts poll, and a command search costs.
$script:ProgramFor = @{}
function Get-StandinProgram {
    if ($script:ProgramFor.ContainsKey($env:PATH)) { return $script:ProgramFor[$env:PATH] }
    $found = $null
    $daemon = Get-Command -Name msiscsi -CommandType Application -ErrorAction SilentlyContinue |
        Select-Object -First 1
    if ($daemon) {
        $tool = Join-Path (Split-Path -Parent $daemon.Source) 'standin'
        if (Microsoft.PowerShell.Management\Test-Path -LiteralPath $tool) {
            $found = [pscustomobject]@{ Daemon = $daemon.Source; Tool = $tool }
        }
    }
    $script:ProgramFor[$env:PATH] = $found
    $found
}

# One daemon request: State is 'ok', 'err' or 'down' (no daemon answers, or none installed);
# Value the words after "ok", Status and Message those of an "err", Lines the payload's lines.
function Invoke-StandinQuery {
    param([Parameter(Mandatory)][string[]]$Request)
    $program = Get-StandinProgram
    if (-not $program) { return [pscustomobject]@{ State = 'down'; Value = ''; Status = ''; Message = 'not installed'; Lines = @() } }
    $out = @(& $program.Tool query @Request 2>$null)
    $head = if ($out.Count -gt 0) { [string]$out[0] } else { '' }
    $lines = @($out | Select-Object -Skip 1 | Where-Object { $_ -ne '' })
    if ($head -match '^ok ?(.*)$') {
        return [pscustomobject]@{ State = 'ok'; Value = $Matches[1]; Status = ''; Message = ''; Lines = $lines }
    }
    if ($head -match '^err ([0-9A-F]{8}) ?(.*)$') {
        return [pscustomobject]@{ State = 'err'; Value = ''; Status = $Matches[1]; Message = $Matches[2]; Lines = $lines }
    }
    [pscustomobject]@{ State = 'down'; Value = ''; Status = ''; Message = 'not running'; Lines = @() }
}

function New-StandinError {
    param([string]$Message, [string]$Id, [System.Management.Automation.ErrorCategory]$Category,
          [object]$Target)
    [System.Management.Automation.ErrorRecord]::new([System.Exception]::new($Message), $Id,
                                                     $Category, $Target)
}

# The message of the initiator service's own status text for a failed request, as the iSCSI
# cmdlets show it; the service being down has its own.
function Get-InitiatorFailureText {
    param($Reply)
    if ($Reply.State -eq 'down') {
        return 'The Microsoft iSCSI Initiator Service is not running. Please start the service and retry.'
    }
    $Reply.Message
}

$script:ServiceName = 'MSiSCSI'

function New-ServiceObject {
    param([string]$Status)
    [pscustomobject]@{
        Name        = $script:ServiceName
        ServiceName = $script:ServiceName
        DisplayName = 'Microsoft iSCSI Initiator Service'
        Status      = $Status
        StartType   = 'Manual'
    }
}

# Models Get-Service (Microsoft.PowerShell.Management) for the one service the scripts ask about,
# MSiSCSI: Running while the stand-in daemon answers, Stopped while it is installed (msiscsi on
# PATH) but not running. A name with no such service (MSiSCSI included, when not installed)
# writes the cmdlet's non-terminating "Cannot find any service with service name 'X'." error
# (ObjectNotFound); a wildcard that matches nothing writes nothing.
function Get-Service {
    [CmdletBinding()]
    param([Parameter(Position = 0, ValueFromPipelineByPropertyName)][Alias('ServiceName')]
          [string[]]$Name = '*')
    process {
        $installed = [bool](Get-StandinProgram)
        foreach ($n in $Name) {
            if ($installed -and $script:ServiceName -like $n) {
                $up = (Invoke-StandinQuery -Request 'ping').State -eq 'ok'
                New-ServiceObject -Status $(if ($up) { 'Running' } else { 'Stopped' })
            } elseif (-not [System.Management.Automation.WildcardPattern]::ContainsWildcardCharacters($n)) {
                $PSCmdlet.WriteError((New-StandinError -Message "Cannot find any service with service name '$n'." -Id 'NoServiceFoundForGivenName,Microsoft.PowerShell.Commands.GetServiceCommand' -Category ObjectNotFound -Target $n))
            }
        }
    }
}

# Models Start-Service for MSiSCSI: starts the stand-in daemon (its launcher returns once it
# listens); nothing to do when it runs. No such service: the non-terminating "Cannot find any
# service with service name 'X'." error; a start that fails: "Service 'X (X)' cannot be started
# due to the following error: ..." (OpenError).
function Start-Service {
    [CmdletBinding(SupportsShouldProcess)]
    param([Parameter(Mandatory, Position = 0, ValueFromPipelineByPropertyName)][Alias('ServiceName')]
          [string[]]$Name,
          [switch]$PassThru)
    process {
        $program = Get-StandinProgram
        foreach ($n in $Name) {
            if (-not $program -or $script:ServiceName -notlike $n) {
                $PSCmdlet.WriteError((New-StandinError -Message "Cannot find any service with service name '$n'." -Id 'NoServiceFoundForGivenName,Microsoft.PowerShell.Commands.StartServiceCommand' -Category ObjectNotFound -Target $n))
                continue
            }
            if (-not $PSCmdlet.ShouldProcess("Microsoft iSCSI Initiator Service ($($script:ServiceName))", 'Start-Service')) { continue }
            $out = & $program.Daemon 2>&1
            if ($LASTEXITCODE -ne 0) {
                $PSCmdlet.WriteError((New-StandinError -Message "Service 'Microsoft iSCSI Initiator Service ($($script:ServiceName))' cannot be started due to the following error: $out" -Id 'CouldNotStartService,Microsoft.PowerShell.Commands.StartServiceCommand' -Category OpenError -Target $n))
                continue
            }
            if ($PassThru) { New-ServiceObject -Status 'Running' }
        }
    }
}

function New-SessionObject {
    param([string]$Id, [string]$Iqn)
    [pscustomobject]@{
        PSTypeName           = 'Microsoft.Management.Infrastructure.CimInstance#ROOT/Microsoft/Windows/Storage/MSFT_iSCSISession'
        SessionIdentifier    = $Id
        TargetNodeAddress    = $Iqn
        InitiatorNodeAddress = 'iqn.2026-08.org.norvaled.standin:initiator'
        IsConnected          = $true
        IsPersistent         = $false
        IsDiscovered         = $true
        NumberOfConnections  = 1
        AuthenticationType   = 'NONE'
    }
}

# Models Get-IscsiSession (iSCSI module, MSFT_iSCSISession): one object per session of the
# initiator, with SessionIdentifier ("<adapter>-<session>" in hexadecimal, as Windows shows it),
# TargetNodeAddress, InitiatorNodeAddress, IsConnected, IsPersistent, NumberOfConnections;
# filtered by -SessionIdentifier or -TargetNodeAddress (wildcards not taken, as on Windows). No
# session: no output and no error. The service down: a non-terminating error with the
# initiator's "service is not running" text (NotSpecified).
function Get-IscsiSession {
    [CmdletBinding()]
    param([string[]]$SessionIdentifier, [string[]]$TargetNodeAddress)
    $reply = Invoke-StandinQuery -Request 'sessions'
    if ($reply.State -ne 'ok') {
        $PSCmdlet.WriteError((New-StandinError -Message (Get-InitiatorFailureText $reply) -Id 'HRESULT 0xeffff003e,Get-IscsiSession' -Category NotSpecified -Target 'MSFT_iSCSISession'))
        return
    }
    foreach ($line in $reply.Lines) {
        $f = $line -split "`t"
        if ($f.Count -lt 2) { continue }
        if ($SessionIdentifier -and $SessionIdentifier -notcontains $f[0]) { continue }
        if ($TargetNodeAddress -and $TargetNodeAddress -notcontains $f[1]) { continue }
        New-SessionObject -Id $f[0] -Iqn $f[1]
    }
}

# Models New-IscsiTargetPortal (MSFT_iSCSITargetPortal): adds the send-targets portal
# (TargetPortalPortNumber 3260 unless given) and returns it; adding one that is there already
# succeeds. Unlike Windows it does not run a SendTargets discovery there, so a portal that does
# not answer is not reported here but at the login. The service down: a non-terminating error.
function New-IscsiTargetPortal {
    [CmdletBinding(SupportsShouldProcess)]
    param([Parameter(Mandatory)][string]$TargetPortalAddress,
          [uint16]$TargetPortalPortNumber = 3260,
          [string]$InitiatorPortalAddress,
          [string]$InitiatorInstanceName,
          [ValidateSet('NONE', 'ONEWAYCHAP', 'MUTUALCHAP')][string]$AuthenticationType = 'NONE')
    if (-not $PSCmdlet.ShouldProcess("$TargetPortalAddress`:$TargetPortalPortNumber", 'New-IscsiTargetPortal')) { return }
    $reply = Invoke-StandinQuery -Request @('add_portal', $TargetPortalAddress, [string]$TargetPortalPortNumber)
    if ($reply.State -ne 'ok') {
        $PSCmdlet.WriteError((New-StandinError -Message (Get-InitiatorFailureText $reply) -Id 'HRESULT,New-IscsiTargetPortal' -Category NotSpecified -Target $TargetPortalAddress))
        return
    }
    [pscustomobject]@{
        PSTypeName             = 'Microsoft.Management.Infrastructure.CimInstance#ROOT/Microsoft/Windows/Storage/MSFT_iSCSITargetPortal'
        TargetPortalAddress    = $TargetPortalAddress
        TargetPortalPortNumber = $TargetPortalPortNumber
        InitiatorPortalAddress = $InitiatorPortalAddress
        IsDataDigest           = $false
        IsHeaderDigest         = $false
    }
}

# Models Connect-IscsiTarget (MSFT_iSCSITarget): logs in to -NodeAddress through the portal
# given (-TargetPortalAddress, -TargetPortalPortNumber 3260 unless given) or through the known
# portals in turn, and returns the session. Only a target of a known send-targets portal can be
# logged in to (else "The target name is not found or is marked as hidden from login."); a
# target already logged in, a login the target refuses or that times out, and the service down
# each write a non-terminating error with the initiator's text, which -ErrorAction Stop turns
# into a terminating one.
function Connect-IscsiTarget {
    [CmdletBinding(SupportsShouldProcess)]
    param([Parameter(Mandatory, ValueFromPipelineByPropertyName)][string]$NodeAddress,
          [string]$TargetPortalAddress,
          [uint16]$TargetPortalPortNumber = 3260,
          [string]$InitiatorPortalAddress,
          [ValidateSet('NONE', 'ONEWAYCHAP', 'MUTUALCHAP')][string]$AuthenticationType = 'NONE',
          [bool]$IsPersistent = $false,
          [bool]$IsMultipathEnabled = $false,
          [bool]$IsDataDigest = $false,
          [bool]$IsHeaderDigest = $false)
    process {
        if (-not $PSCmdlet.ShouldProcess($NodeAddress, 'Connect-IscsiTarget')) { return }
        $fail = {
            param($text)
            $PSCmdlet.WriteError((New-StandinError -Message $text -Id 'HRESULT,Connect-IscsiTarget' -Category NotSpecified -Target $NodeAddress))
        }
        if ($AuthenticationType -ne 'NONE') { & $fail 'The stand-in initiator logs in without CHAP only.'; return }
        $portals = Invoke-StandinQuery -Request 'portals'
        if ($portals.State -ne 'ok') { & $fail (Get-InitiatorFailureText $portals); return }
        $known = @($portals.Lines | ForEach-Object {
                $p = $_ -split "`t"
                [pscustomobject]@{ Address = $p[0]; Port = [uint16]$p[1] }
            })
        if ($TargetPortalAddress) {
            $known = @($known | Where-Object { $_.Address -eq $TargetPortalAddress -and $_.Port -eq $TargetPortalPortNumber })
        }
        if ($known.Count -eq 0) { & $fail 'The target name is not found or is marked as hidden from login.'; return }
        $reply = $null
        foreach ($p in $known) {
            $reply = Invoke-StandinQuery -Request @('login', $NodeAddress, $p.Address, [string]$p.Port)
            if ($reply.State -eq 'ok' -or $reply.Status -eq 'EFFF003F') { break }
        }
        if ($reply.State -ne 'ok') {
            $text = if ($reply.Status -eq 'EFFF003F') { 'The target has already been logged in via an iSCSI session.' } else { Get-InitiatorFailureText $reply }
            & $fail $text
            return
        }
        New-SessionObject -Id (($reply.Value -split "`t")[0]) -Iqn $NodeAddress
    }
}

# Models Disconnect-IscsiTarget (MSFT_iSCSITarget): logs out each session named by
# -SessionIdentifier, or every session of -NodeAddress. ConfirmImpact High: without
# -Confirm:$false it asks first, which fails under -NonInteractive (a terminating error, that no
# -ErrorAction silences). A session that does not exist, one whose device is in use ("The
# session cannot be logged out since a device on that session is currently being used.") and the
# service down each write a non-terminating error.
function Disconnect-IscsiTarget {
    [CmdletBinding(SupportsShouldProcess, ConfirmImpact = 'High')]
    param([Parameter(ValueFromPipelineByPropertyName)][string[]]$SessionIdentifier,
          [Parameter(ValueFromPipelineByPropertyName)][string[]]$NodeAddress,
          [switch]$PassThru)
    process {
        $ids = @($SessionIdentifier | Where-Object { $_ })
        if ($NodeAddress) { $ids += @(Get-IscsiSession -TargetNodeAddress $NodeAddress -ErrorAction SilentlyContinue | ForEach-Object SessionIdentifier) }
        foreach ($id in $ids) {
            if (-not $PSCmdlet.ShouldProcess($id, 'Disconnect-IscsiTarget')) { continue }
            $reply = Invoke-StandinQuery -Request @('logout', $id)
            if ($reply.State -ne 'ok') {
                $text = if ($reply.Status -eq 'EFFF001C') { 'The session identifier is invalid.' } else { Get-InitiatorFailureText $reply }
                $PSCmdlet.WriteError((New-StandinError -Message $text -Id 'HRESULT,Disconnect-IscsiTarget' -Category NotSpecified -Target $id))
            }
        }
    }
}

# Models Remove-IscsiTargetPortal (MSFT_iSCSITargetPortal): removes the send-targets portal
# (-TargetPortalPortNumber 3260 unless given); sessions through it stay. ConfirmImpact High, as
# for Disconnect-IscsiTarget. A portal that is not there ("The specified portal was not found.")
# and the service down write a non-terminating error.
function Remove-IscsiTargetPortal {
    [CmdletBinding(SupportsShouldProcess, ConfirmImpact = 'High')]
    param([Parameter(Mandatory, ValueFromPipelineByPropertyName)][string[]]$TargetPortalAddress,
          [Parameter(ValueFromPipelineByPropertyName)][uint16]$TargetPortalPortNumber = 3260,
          [string]$InitiatorPortalAddress,
          [string]$InitiatorInstanceName,
          [switch]$PassThru)
    process {
        foreach ($address in $TargetPortalAddress) {
            if (-not $PSCmdlet.ShouldProcess("$address`:$TargetPortalPortNumber", 'Remove-IscsiTargetPortal')) { continue }
            $reply = Invoke-StandinQuery -Request @('remove_portal', $address, [string]$TargetPortalPortNumber)
            if ($reply.State -ne 'ok') {
                $text = if ($reply.State -eq 'err') { 'The specified portal was not found.' } else { Get-InitiatorFailureText $reply }
                $PSCmdlet.WriteError((New-StandinError -Message $text -Id 'HRESULT,Remove-IscsiTargetPortal' -Category NotSpecified -Target $address))
            }
        }
    }
}

# The stand-in's drives: Number, Vendor, Product, DeviceId, Letters ('' when none).
function Get-StandinDrive {
    $reply = Invoke-StandinQuery -Request 'drives'
    if ($reply.State -ne 'ok') { return }
    foreach ($line in $reply.Lines) {
        $f = $line -split "`t"
        if ($f.Count -lt 4) { continue }
        [pscustomobject]@{
            Number = [int]$f[0]; Vendor = $f[1].Trim(); Product = $f[2].Trim(); DeviceId = $f[3]
            Letters = $(if ($f.Count -gt 4) { $f[4] } else { '' })
        }
    }
}

# Models Get-CimInstance (CimCmdlets) for the one class the scripts read, Win32_DiskDrive: one
# object per disk of the stand-in, Index its drive number, Model "<vendor> <product> SCSI Disk
# Device" as Windows' disk driver names a SCSI disk (vendor and product as INQUIRY reports them,
# trailing blanks trimmed), PNPDeviceID its device instance ID (what pnputil /remove-device
# takes), DeviceID \\.\PHYSICALDRIVE<n>, InterfaceType SCSI. A machine without the initiator
# has no such disk: no output. Any other class: the non-terminating "Invalid class" error
# (MetadataError).
function Get-CimInstance {
    [CmdletBinding(DefaultParameterSetName = 'ClassNameComputerSet')]
    param([Parameter(Mandatory, Position = 0)][string]$ClassName,
          [string]$Namespace = 'root/cimv2',
          [string]$Filter,
          [string[]]$Property)
    if ($ClassName -ne 'Win32_DiskDrive' -or $Namespace -notin @('root/cimv2', 'root\cimv2')) {
        $PSCmdlet.WriteError((New-StandinError -Message 'Invalid class ' -Id 'HRESULT 0x80041010,Microsoft.Management.Infrastructure.CimCmdlets.GetCimInstanceCommand' -Category MetadataError -Target "$Namespace`:$ClassName"))
        return
    }
    if ($Filter) { throw [System.NotSupportedException]::new('the stand-in Get-CimInstance takes no -Filter') }
    foreach ($d in Get-StandinDrive) {
        $model = "$($d.Vendor) $($d.Product) SCSI Disk Device"
        [pscustomobject]@{
            PSTypeName    = 'Microsoft.Management.Infrastructure.CimInstance#root/cimv2/Win32_DiskDrive'
            Index         = [uint32]$d.Number
            Model         = $model
            Caption       = $model
            PNPDeviceID   = $d.DeviceId
            DeviceID      = "\\.\PHYSICALDRIVE$($d.Number)"
            InterfaceType = 'SCSI'
            MediaType     = 'Fixed hard disk media'
        }
    }
}

function Write-NoVolumeError {
    param($Cmdlet, [char]$Letter, [string]$Command)
    $Cmdlet.WriteError((New-StandinError -Message "No MSFT_Volume objects found with property 'DriveLetter' equal to '$Letter'.  Verify the value of the property and retry." -Id "CmdletizationQuery_NotFound_DriveLetter,$Command" -Category ObjectNotFound -Target $Letter))
}

# The drive number under a letter, or -1.
function Get-StandinVolumeDrive {
    param([char]$Letter)
    $reply = Invoke-StandinQuery -Request @('volume', [string]$Letter)
    if ($reply.State -eq 'ok') { return [int]$reply.Value }
    -1
}

# Models Get-Volume -DriveLetter (Storage module, MSFT_Volume): one object per letter that names
# a volume of the stand-in (DriveLetter, DriveType Fixed, OperationalStatus OK, HealthStatus
# Healthy; its file system is not read). A letter that names none writes the non-terminating
# "No MSFT_Volume objects found with property 'DriveLetter' equal to 'X'." error
# (ObjectNotFound).
function Get-Volume {
    [CmdletBinding()]
    param([Parameter(Mandatory, Position = 0, ValueFromPipelineByPropertyName)][char[]]$DriveLetter)
    process {
        foreach ($l in $DriveLetter) {
            if ((Get-StandinVolumeDrive -Letter $l) -lt 0) { Write-NoVolumeError $PSCmdlet $l 'Get-Volume'; continue }
            [pscustomobject]@{
                PSTypeName        = 'Microsoft.Management.Infrastructure.CimInstance#ROOT/Microsoft/Windows/Storage/MSFT_Volume'
                DriveLetter       = [char]::ToUpperInvariant($l)
                DriveType         = 'Fixed'
                OperationalStatus = 'OK'
                HealthStatus      = 'Healthy'
            }
        }
    }
}

# Models Write-VolumeCache -DriveLetter (Storage module): the volume's cached writes reach the
# disk (the stand-in sends SYNCHRONIZE CACHE through the session to the target); no output. A
# letter that names no volume: the same error as Get-Volume's.
function Write-VolumeCache {
    [CmdletBinding()]
    param([Parameter(Mandatory, Position = 0, ValueFromPipelineByPropertyName)][char[]]$DriveLetter)
    process {
        foreach ($l in $DriveLetter) {
            $n = Get-StandinVolumeDrive -Letter $l
            if ($n -lt 0) { Write-NoVolumeError $PSCmdlet $l 'Write-VolumeCache'; continue }
            $reply = Invoke-StandinQuery -Request @('flush', [string]$n)
            if ($reply.State -ne 'ok') {
                $PSCmdlet.WriteError((New-StandinError -Message $reply.Message -Id 'HRESULT,Write-VolumeCache' -Category WriteError -Target $l))
            }
        }
    }
}

# Models Update-HostStorageCache (Storage module): the storage provider's cached view of disks
# and volumes is refreshed; no output. The stand-in's view is never stale, so there is nothing
# to do.
function Update-HostStorageCache {
    [CmdletBinding()]
    param()
}

# Models Test-Path for drive-letter paths ("E:", "E:\", "E:/"): true when the letter names a
# volume of the stand-in (-PathType Leaf: false, as for a drive's root; -IsValid: true). A
# path below a drive letter is false: the stand-in's volumes hold no files. Every other path
# goes to the real cmdlet, Microsoft.PowerShell.Management\Test-Path, with the same parameters.
function Test-Path {
    [CmdletBinding(DefaultParameterSetName = 'Path')]
    param([Parameter(ParameterSetName = 'Path', Mandatory, Position = 0, ValueFromPipeline, ValueFromPipelineByPropertyName)]
          [string[]]$Path,
          [Parameter(ParameterSetName = 'LiteralPath', Mandatory, ValueFromPipelineByPropertyName)]
          [Alias('PSPath', 'LP')][string[]]$LiteralPath,
          [string]$Filter,
          [string[]]$Include,
          [string[]]$Exclude,
          [Alias('Type')][Microsoft.PowerShell.Commands.TestPathType]$PathType = 'Any',
          [switch]$IsValid,
          [datetime]$OlderThan,
          [datetime]$NewerThan)
    process {
        $rest = @{} + $PSBoundParameters
        [void]$rest.Remove('Path')
        [void]$rest.Remove('LiteralPath')
        $paths = if ($PSCmdlet.ParameterSetName -eq 'Path') { $Path } else { $LiteralPath }
        foreach ($p in $paths) {
            if ($p -match '^([A-Za-z]):([\\/])?$') {
                if ($IsValid) { $true; continue }
                ((Get-StandinVolumeDrive -Letter $Matches[1]) -ge 0) -and $PathType -ne 'Leaf'
            } elseif ($p -match '^[A-Za-z]:[\\/]') {
                $IsValid.IsPresent
            } elseif ($PSCmdlet.ParameterSetName -eq 'Path') {
                Microsoft.PowerShell.Management\Test-Path -Path $p @rest
            } else {
                Microsoft.PowerShell.Management\Test-Path -LiteralPath $p @rest
            }
        }
    }
}

Export-ModuleMember -Function Get-Service, Start-Service, Get-IscsiSession, New-IscsiTargetPortal,
    Connect-IscsiTarget, Disconnect-IscsiTarget, Remove-IscsiTargetPortal, Get-CimInstance,
    Get-Volume, Write-VolumeCache, Update-HostStorageCache, Test-Path
