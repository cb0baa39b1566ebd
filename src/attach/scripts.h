// The texts that the attachment hands to diskpart and to Windows PowerShell, byte for byte.
// Kept as data in one place so that a review sees exactly what runs, and so that the POSIX
// stand-in can run the same diskpart scripts. Each array is a printf format where it says so.
#pragma once

// clang-format off

// The elevation helper's frame: the first line (format, the result file's path with every '
// doubled) names the result file, the second gives the body its reporting function L.
inline constexpr char k_elev_frame_result_line[] = "$res = '%s'\r\n";
inline constexpr char k_elev_frame_log_function[] =
    "function L($m) { Add-Content -LiteralPath $res -Value $m }\r\n";

// diskpart, the image's data kept. Format: drive number (%d), letter (%c). Written in text mode,
// so on Windows each line feed becomes CR LF.
inline constexpr char k_diskpart_keep_data[] =
    "select disk %d\n"
    "attributes disk clear readonly\n"
    "online disk noerr\n"
    "select partition 1\n"
    "remove all noerr\n"
    "assign letter=%c\n";

// diskpart, the image (re)formatted as NTFS. Format: drive number (%d), letter (%c).
inline constexpr char k_diskpart_format[] =
    "select disk %d\n"
    "attributes disk clear readonly\n"
    "online disk noerr\n"
    "clean\n"
    "convert mbr\n"
    "create partition primary\n"
    "format fs=ntfs quick label=\"Norvaled\"\n"
    "assign letter=%c\n";

// The mount's PowerShell body, run behind the elevation helper's frame. Format: target IQN (%s),
// letter (%c), has_data (%d), port (%d), port again (%d).
inline constexpr char k_mount_helper_script[] =
    "$iqn = '%s'\r\n"
    "$letter = '%c'\r\n"
    "$hasdata = %d\r\n"
    "$rc = -9\r\n"
    "try {\r\n"
    "  $svc = Get-Service -Name MSiSCSI -ErrorAction SilentlyContinue\r\n"
    "  if ($svc -and $svc.Status -ne 'Running') { Start-Service MSiSCSI -ErrorAction SilentlyContinue; Start-Sleep -Seconds 1 }\r\n"
    "  L ('msiscsi=' + (Get-Service MSiSCSI -ErrorAction SilentlyContinue).Status)\r\n"
    "  Get-IscsiSession -ErrorAction SilentlyContinue | Where-Object { $_.TargetNodeAddress -eq $iqn } | ForEach-Object {\r\n"
    "    L ('stale logout ' + $_.SessionIdentifier)\r\n"
    "    Disconnect-IscsiTarget -SessionIdentifier $_.SessionIdentifier -Confirm:$false -ErrorAction SilentlyContinue | Out-Null\r\n"
    "  }\r\n"
    "  $d0 = @(Get-CimInstance Win32_DiskDrive -ErrorAction SilentlyContinue | Where-Object { $_.Model -like '*NORVALED*' })\r\n"
    "  foreach ($x in $d0) { L ('stale devnode ' + $x.PNPDeviceID); pnputil /remove-device $x.PNPDeviceID | Out-Null }\r\n"
    "  New-IscsiTargetPortal -TargetPortalAddress '127.0.0.1' -TargetPortalPortNumber %d -ErrorAction SilentlyContinue | Out-Null\r\n"
    "  try { Connect-IscsiTarget -NodeAddress $iqn -TargetPortalAddress '127.0.0.1' -TargetPortalPortNumber %d -AuthenticationType None -IsPersistent $false -ErrorAction Stop | Out-Null; L 'connected' } catch { L ('connect failed: ' + $_) }\r\n"
    "  $disk = $null\r\n"
    "  for ($i = 0; $i -lt 40 -and -not $disk; $i++) {\r\n"
    "    $disk = Get-CimInstance Win32_DiskDrive -ErrorAction SilentlyContinue | Where-Object { $_.Model -like '*NORVALED*' } | Select-Object -First 1\r\n"
    "    if (-not $disk) { Start-Sleep -Milliseconds 500 }\r\n"
    "  }\r\n"
    "  if (-not $disk) { L 'no NORVALED devnode after login'; $rc = -9 }\r\n"
    "  else {\r\n"
    "    $dn = [int]$disk.Index\r\n"
    "    L ('disk=' + $dn)\r\n"
    "    $dp = Join-Path $env:TEMP ('vk_rd_elev_dp_' + $PID + '.txt')\r\n"
    "    $lines = @((\"select disk $dn\"), 'attributes disk clear readonly', 'online disk noerr')\r\n"
    "    if ($hasdata -eq 1) { $lines += @('select partition 1', 'remove all noerr') }\r\n"
    "    else { $lines += @('clean', 'convert mbr', 'create partition primary', 'format fs=ntfs quick label=\"Norvaled\"') }\r\n"
    "    $lines += @(\"assign letter=$letter\")\r\n"
    "    Set-Content -LiteralPath $dp -Value $lines -Encoding ASCII\r\n"
    "    (& diskpart /s $dp) 2>&1 | ForEach-Object { L ('dp| ' + $_) }\r\n"
    "    Remove-Item -LiteralPath $dp -ErrorAction SilentlyContinue\r\n"
    "    Start-Sleep -Milliseconds 1500\r\n"
    "    if ([bool](Get-Volume -DriveLetter $letter -ErrorAction SilentlyContinue)) { $rc = 0 }\r\n"
    "    else { L 'the drive letter did not appear'; $rc = -9 }\r\n"
    "  }\r\n"
    "} catch { L ('fatal ' + $_); $rc = -9 }\r\n"
    "L ('RC=' + $rc)\r\n";

// The elevated unmount's device release, written as it stands (not a format).
inline constexpr char k_release_script[] =
    "$d = @(Get-CimInstance Win32_DiskDrive -ErrorAction SilentlyContinue | Where-Object { $_.Model -like '*NORVALED*' })\r\n"
    "foreach ($x in $d) {\r\n"
    "  Write-Output ('devnode ' + $x.PNPDeviceID)\r\n"
    "  pnputil /remove-device $x.PNPDeviceID | Out-Null\r\n"
    "}\r\n"
    "Update-HostStorageCache -ErrorAction SilentlyContinue\r\n"
    "Write-Output 'release done'\r\n";

// The unmount's PowerShell body. Format: target IQN (%s), letter known (%d), letter or '0' (%c),
// port (%d).
inline constexpr char k_unmount_helper_script[] =
    "$iqn = '%s'\r\n"
    "$hasletter = %d\r\n"
    "$letter = '%c'\r\n"
    "$rc = 0\r\n"
    "function Sess { @(Get-IscsiSession -ErrorAction SilentlyContinue | Where-Object { $_.TargetNodeAddress -eq $iqn }) }\r\n"
    "function Dnode { @(Get-CimInstance Win32_DiskDrive -ErrorAction SilentlyContinue | Where-Object { $_.Model -like '*NORVALED*' }) }\r\n"
    "try {\r\n"
    "  if ($hasletter -eq 1) {\r\n"
    "    if (Test-Path ($letter + ':')) {\r\n"
    "      Write-VolumeCache -DriveLetter $letter -ErrorAction SilentlyContinue\r\n"
    "      (& mountvol ($letter + ':') /P) 2>&1 | ForEach-Object { L ('mountvol| ' + $_) }\r\n"
    "      Start-Sleep -Milliseconds 800\r\n"
    "    }\r\n"
    "  }\r\n"
    "  L ('start sessions=' + (Sess).Count + ' devnodes=' + (Dnode).Count)\r\n"
    "  $t0 = Get-Date\r\n"
    "  for ($pass = 0; $pass -lt 25; $pass++) {\r\n"
    "    if (((Get-Date) - $t0).TotalSeconds -gt 600) { L 'deadline reached'; $rc = -12; break }\r\n"
    "    $ss = Sess\r\n"
    "    if ($ss.Count -eq 0) { L ('pass ' + $pass + ' no session'); break }\r\n"
    "    $d = Dnode\r\n"
    "    if ($d.Count -gt 0) {\r\n"
    "      foreach ($x in $d) { L ('pass ' + $pass + ' remove devnode ' + $x.PNPDeviceID); pnputil /remove-device $x.PNPDeviceID 2>&1 | ForEach-Object { L ('pnp| ' + $_) } }\r\n"
    "    } else {\r\n"
    "      foreach ($x in $ss) {\r\n"
    "        L ('pass ' + $pass + ' logout ' + $x.SessionIdentifier)\r\n"
    "        iscsicli LogoutTarget $x.SessionIdentifier 2>&1 | ForEach-Object { L ('cli| ' + $_) }\r\n"
    "        Disconnect-IscsiTarget -SessionIdentifier $x.SessionIdentifier -Confirm:$false -ErrorAction SilentlyContinue | Out-Null\r\n"
    "      }\r\n"
    "    }\r\n"
    "    Start-Sleep -Seconds 3\r\n"
    "  }\r\n"
    "  $still = Sess\r\n"
    "  if ($still.Count -gt 0) { L ('session still logged in (' + $still.Count + ')'); $rc = -12 }\r\n"
    "  else { L 'session cleared' }\r\n"
    "  Remove-IscsiTargetPortal -TargetPortalAddress '127.0.0.1' -TargetPortalPortNumber %d -Confirm:$false -ErrorAction SilentlyContinue\r\n"
    "} catch { L ('fatal ' + $_); if ($rc -eq 0) { $rc = -12 } }\r\n"
    "L ('RC=' + $rc)\r\n";

// clang-format on
