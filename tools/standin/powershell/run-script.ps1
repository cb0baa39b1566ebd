# Runs one script as `powershell -File SCRIPT` does, after importing the stand-in cmdlets into
# the session: under -NoProfile nothing else would run first, and a module imported by a script
# is seen only from that script unless it is imported -Global.
param(
    [Parameter(Mandatory, Position = 0)][string]$StandinScriptPath,
    [Parameter(ValueFromRemainingArguments)][object[]]$StandinScriptArgs = @()
)
Import-Module (Join-Path $PSScriptRoot 'NorvaledStandin.psm1') -Global -DisableNameChecking
$StandinScriptPath = [System.IO.Path]::GetFullPath($StandinScriptPath, $PWD.ProviderPath)
& $StandinScriptPath @StandinScriptArgs
# -File's exit code: the script's own `exit N`, 1 for an error that ended it, else 0.
if (-not $?) { exit $(if ($LASTEXITCODE) { $LASTEXITCODE } else { 1 }) }
exit 0
