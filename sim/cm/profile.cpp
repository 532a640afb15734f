// What a Windows machine's registry holds before any program runs: the keys
// and values of the system hives that programs, and malware among them, read
// and change (autostart locations, the logon shell, service entries, the
// security packages), and the hive a user's logon loads under
// \REGISTRY\USER\<the user's SID> with its classes hive beside it.
//
// The contents are those of a fresh installation, trimmed to what the
// simulated machine's users touch; values carry their usual types.
#include "sim/cm/cm.h"

namespace sim::cm {

namespace {

std::vector<uint8_t> Text(std::u16string_view text) {
    std::vector<uint8_t> bytes;
    for (char16_t c : text) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// REG_MULTI_SZ: each string with its terminator, then one more.
std::vector<uint8_t> Multi(std::initializer_list<std::u16string_view> texts) {
    std::vector<uint8_t> bytes;
    for (std::u16string_view text : texts) {
        std::vector<uint8_t> one = Text(text);
        bytes.insert(bytes.end(), one.begin(), one.end());
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

std::vector<uint8_t> Dword(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

SeedEntry Key(std::u16string path) { return SeedEntry{std::move(path), {}, REG_NONE, {}, true}; }
SeedEntry Sz(std::u16string path, std::u16string name, std::u16string_view text, ULONG type = REG_SZ) {
    return SeedEntry{std::move(path), std::move(name), type, Text(text), false};
}
SeedEntry Dw(std::u16string path, std::u16string name, uint32_t value) {
    return SeedEntry{std::move(path), std::move(name), REG_DWORD, Dword(value), false};
}
SeedEntry Ms(std::u16string path, std::u16string name, std::initializer_list<std::u16string_view> texts) {
    return SeedEntry{std::move(path), std::move(name), REG_MULTI_SZ, Multi(texts), false};
}

}  // namespace

std::vector<SeedEntry> MachineSeed() {
    const std::u16string sw = u"\\REGISTRY\\MACHINE\\SOFTWARE\\";
    const std::u16string cv = sw + u"Microsoft\\Windows\\CurrentVersion\\";
    const std::u16string nt = sw + u"Microsoft\\Windows NT\\CurrentVersion\\";
    const std::u16string ccs = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\";
    const std::u16string svc = ccs + u"Services\\";
    return {
        // Autostart locations of the machine.
        Sz(cv + u"Run", u"SecurityHealth", u"%windir%\\system32\\SecurityHealthSystray.exe", REG_EXPAND_SZ),
        Key(cv + u"RunOnce"),
        Key(cv + u"Policies\\Explorer"),
        Dw(cv + u"Policies\\System", u"EnableLUA", 1),
        Dw(cv + u"Policies\\System", u"ConsentPromptBehaviorAdmin", 5),
        Sz(cv + u"Explorer\\Shell Folders", u"Common Startup", u"C:\\ProgramData\\Microsoft\\Windows\\Start Menu\\Programs\\StartUp"),
        Key(sw + u"Microsoft\\Active Setup\\Installed Components"),
        Sz(sw + u"Microsoft\\NetSh", u"ifmon", u"ifmon.dll"),
        Sz(sw + u"Microsoft\\NetSh", u"netiohlp", u"netiohlp.dll"),
        Key(sw + u"Microsoft\\Windows Defender\\Exclusions\\Paths"),
        Key(sw + u"Policies\\Microsoft\\Windows Defender"),
        // The logon shell, AppInit DLLs, debuggers, scheduled tasks, profiles.
        Sz(nt + u"Winlogon", u"Shell", u"explorer.exe"),
        Sz(nt + u"Winlogon", u"Userinit", u"C:\\Windows\\system32\\userinit.exe,"),
        Sz(nt + u"Windows", u"AppInit_DLLs", u""),
        Dw(nt + u"Windows", u"LoadAppInit_DLLs", 0),
        Key(nt + u"Image File Execution Options"),
        Key(nt + u"SilentProcessExit"),
        Key(nt + u"Schedule\\TaskCache\\Tasks"),
        Key(nt + u"Schedule\\TaskCache\\Tree"),
        Key(nt + u"ProfileList"),
        // File associations of the machine (the user's own override them).
        Sz(sw + u"Classes\\.txt", u"", u"txtfile"),
        Sz(sw + u"Classes\\txtfile\\shell\\open\\command", u"", u"%SystemRoot%\\system32\\NOTEPAD.EXE %1", REG_EXPAND_SZ),
        Sz(sw + u"Classes\\exefile\\shell\\open\\command", u"", u"\"%1\" %*"),
        Key(sw + u"Classes\\CLSID"),
        // Services and the control set.
        Sz(svc + u"WinDefend", u"ImagePath", u"\"C:\\ProgramData\\Microsoft\\Windows Defender\\platform\\MsMpEng.exe\"",
           REG_EXPAND_SZ),
        Dw(svc + u"WinDefend", u"Start", 2),
        Dw(svc + u"WinDefend", u"Type", 0x10),
        Sz(svc + u"Spooler", u"ImagePath", u"%SystemRoot%\\System32\\spoolsv.exe", REG_EXPAND_SZ),
        Dw(svc + u"Spooler", u"Start", 2),
        Dw(svc + u"Spooler", u"Type", 0x110),
        Sz(svc + u"VSS", u"ImagePath", u"%systemroot%\\system32\\vssvc.exe", REG_EXPAND_SZ),
        Dw(svc + u"VSS", u"Start", 3),
        Dw(svc + u"VSS", u"Type", 0x10),
        Dw(svc + u"EventLog", u"Start", 2),
        Dw(svc + u"SharedAccess\\Parameters\\FirewallPolicy\\StandardProfile", u"EnableFirewall", 1),
        Ms(ccs + u"Control\\Lsa", u"Authentication Packages", {u"msv1_0"}),
        Ms(ccs + u"Control\\Lsa", u"Security Packages", {u"\"\""}),
        Ms(ccs + u"Control\\Lsa", u"Notification Packages", {u"scecli"}),
        Ms(ccs + u"Control\\Session Manager", u"BootExecute", {u"autocheck autochk *"}),
        Sz(ccs + u"Control\\Print\\Monitors\\Local Port", u"Driver", u"localspl.dll"),
        Sz(ccs + u"Control\\Print\\Monitors\\Standard TCP/IP Port", u"Driver", u"tcpmon.dll"),
        Dw(ccs + u"Control\\Terminal Server", u"fDenyTSConnections", 1),
        Key(ccs + u"Control\\SafeBoot\\Minimal"),
        Key(ccs + u"Control\\SafeBoot\\Network"),
    };
}

std::vector<SeedEntry> UserHiveSeed(std::u16string_view sid, std::u16string_view profilePath) {
    const std::u16string root = u"\\REGISTRY\\USER\\" + std::u16string(sid) + u"\\";
    const std::u16string cv = root + u"Software\\Microsoft\\Windows\\CurrentVersion\\";
    const std::u16string profile(profilePath);
    return {
        Key(cv + u"Run"),
        Key(cv + u"RunOnce"),
        Key(cv + u"Policies\\Explorer"),
        Sz(cv + u"Explorer\\Shell Folders", u"Startup",
           profile + u"\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup"),
        Sz(cv + u"Explorer\\Shell Folders", u"Desktop", profile + u"\\Desktop"),
        Sz(cv + u"Explorer\\Shell Folders", u"Personal", profile + u"\\Documents"),
        Sz(cv + u"Explorer\\User Shell Folders", u"Startup",
           u"%USERPROFILE%\\AppData\\Roaming\\Microsoft\\Windows\\Start Menu\\Programs\\Startup", REG_EXPAND_SZ),
        Key(root + u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon"),
        Key(root + u"Software\\Microsoft\\Windows NT\\CurrentVersion\\Windows"),
        Key(root + u"Software\\Microsoft\\Office\\16.0\\Word\\Security"),
        // The user's own file associations and COM classes. On Windows this
        // key is a link to the classes hive beside the user's; here it is a
        // key of the user's hive (see docs/simulated-kernel.md).
        Key(root + u"Software\\Classes"),
        Sz(root + u"Environment", u"TEMP", u"%USERPROFILE%\\AppData\\Local\\Temp", REG_EXPAND_SZ),
        Sz(root + u"Environment", u"TMP", u"%USERPROFILE%\\AppData\\Local\\Temp", REG_EXPAND_SZ),
        Sz(root + u"Control Panel\\Desktop", u"ScreenSaveActive", u"1"),
        Sz(root + u"Control Panel\\Desktop", u"Wallpaper", u"C:\\Windows\\web\\wallpaper\\Windows\\img0.jpg"),
        Key(root + u"Console"),
        // The user's profile, as the machine lists it.
        Sz(u"\\REGISTRY\\MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList\\" + std::u16string(sid),
           u"ProfileImagePath", profile, REG_EXPAND_SZ),
    };
}

}  // namespace sim::cm
