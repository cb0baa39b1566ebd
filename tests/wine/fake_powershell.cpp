// Plays Windows PowerShell for the elevation helper under Wine: reads the result path from the
// script's first line ("$res = '...'", '' standing for ') and appends the text of every
// "L 'text'" line of the body to it, as the script's L function would. When
// NORVALED_FAKE_PS_RC is set, a last line "RC=" and its value answers for the whole script.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fstream>
#include <string>

int main() {
    std::string cmdline = GetCommandLineA();
    std::size_t file = cmdline.find("-File \"");
    if (file == std::string::npos) return 2;
    std::size_t start = file + 7, end = cmdline.find('"', start);
    std::ifstream script(cmdline.substr(start, end - start), std::ios::binary);
    std::string line, result;
    while (std::getline(script, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.rfind("$res = '", 0) == 0 && result.empty()) {
            std::string quoted = line.substr(8, line.size() - 9);
            for (std::size_t i = 0; i < quoted.size(); ++i) {
                result += quoted[i];
                if (quoted[i] == '\'' && i + 1 < quoted.size() && quoted[i + 1] == '\'') ++i;
            }
        } else if (line.rfind("L '", 0) == 0 && line.size() >= 4 && line.back() == '\'') {
            std::ofstream(result, std::ios::binary | std::ios::app)
                << line.substr(3, line.size() - 4) << "\r\n";
        }
    }
    char rc[32];
    DWORD n = GetEnvironmentVariableA("NORVALED_FAKE_PS_RC", rc, sizeof rc);
    if (n > 0 && n < sizeof rc && !result.empty())
        std::ofstream(result, std::ios::binary | std::ios::app) << "RC=" << rc << "\r\n";
    return 0;
}
