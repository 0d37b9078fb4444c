// wine_record.cpp - the Windows backend's service-record folder below the seam, under
// Wine: the descriptor the folder is made with, parsed back; the rules that judge an
// access list, an owner and a folder's attributes; a held record on Wine's real files
// (the pending lines it leads to are wine_update.sh's). Built and run by
// wine_update.sh:   wine_record DIR (a Windows path)
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"

static int Failed = 0;
static void Check(const std::string& what, bool ok) {
    printf("%s %s\n", ok ? "PASS" : "FAIL", what.c_str());
    Failed += !ok;
}

static PSECURITY_DESCRIPTOR Parse(const char* sddl) {
    PSECURITY_DESCRIPTOR sd = NULL;
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, NULL) ? sd : NULL;
}

// The allowed ACEs of the descriptor as "SID:mask:flags" in order, and its owner.
static std::string Aces(PSECURITY_DESCRIPTOR sd) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    PSID owner = NULL;
    char* text = NULL;
    std::string out;
    if (GetSecurityDescriptorOwner(sd, &owner, &defaulted) && owner && ConvertSidToStringSidA(owner, &text))
        out = std::string("owner ") + text, LocalFree(text);
    if (GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present && dacl)
        for (DWORD i = 0; i < dacl->AceCount; i++) {
            ACCESS_ALLOWED_ACE* ace = NULL;
            char line[96];
            if (!GetAce(dacl, i, (void**)&ace) || !ConvertSidToStringSidA((PSID)&ace->SidStart, &text)) continue;
            snprintf(line, sizeof line, " %d:%s:%lx:%x", ace->Header.AceType, text, ace->Mask, ace->Header.AceFlags);
            out += line, LocalFree(text);
        }
    return out;
}

int main(int argc, char** argv) {
    PSECURITY_DESCRIPTOR sd = Parse(WIN32_RECORD_FOLDER_SDDL);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    Check("the folder's access list is protected from inheritance",
          sd && GetSecurityDescriptorControl(sd, &control, &revision) && (control & SE_DACL_PROTECTED));
    // Allowed (type 0), for the folder and all in it (OI|CI = 3): SYSTEM and
    // Administrators full control, Users FILE_GENERIC_READ | FILE_EXECUTE only.
    std::string aces = sd ? Aces(sd) : "";
    Check("owner Administrators; SYSTEM, Administrators full control; Users read only: " + aces,
          aces == "owner S-1-5-32-544 0:S-1-5-18:1f01ff:3 0:S-1-5-32-544:1f01ff:3 0:S-1-5-32-545:1200a9:3");
    LocalFree(sd);

    const struct {
        const char* sddl;
        bool safe;
    } lists[] = {
        {"D:(A;OICI;0x1301bf;;;BU)", false},                                   // the former folder's
        {"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},   // not protected
        {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CIIO;0x2;;;BU)", false},       // Users add files
        {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)", false},      // creator owner
        {"D:NO_ACCESS_CONTROL", false},  // no list at all lets everyone in
        {WIN32_RECORD_FOLDER_SDDL, true},
        {"D:P(D;OICI;FA;;;BG)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", true},
    };
    for (const auto& l : lists) {
        PSECURITY_DESCRIPTOR d = Parse(l.sddl);
        Check(std::string(l.sddl) + (l.safe ? " is protected" : " is not protected"), d && Win32DaclProtected(d) == l.safe);
        LocalFree(d);
    }
    const struct {
        const char* sid;
        bool trusted;
    } owners[] = {{"S-1-5-32-544", true}, {"S-1-5-18", true}, {"S-1-5-32-545", false}, {"S-1-1-0", false},
                  {"S-1-5-21-1-2-3-1001", false}};  // another account: the prefix's own user is ...-1000
    for (const auto& o : owners) {
        PSID sid = NULL;
        ConvertStringSidToSidA(o.sid, &sid);
        Check(std::string("owner ") + o.sid + (o.trusted ? " is trusted" : " is not trusted"),
              Win32OwnerTrusted(sid) == o.trusted);
        LocalFree(sid);
    }
    Check("a folder of the administrators is used", Win32JudgeFolder(FILE_ATTRIBUTE_DIRECTORY, true) == PLAT_FOLDER_OK);
    Check("a junction is refused",
          Win32JudgeFolder(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, true) == PLAT_FOLDER_LINK);
    Check("a folder a user made is refused", Win32JudgeFolder(FILE_ATTRIBUTE_DIRECTORY, false) == PLAT_FOLDER_FOREIGN);

    // On Wine's files: the folder made and used again, a held record.
    std::string folder = std::string(argc > 1 ? argv[1] : "C:\\ProgramData") + "\\Kqsfupdt";
    Check("the folder is made and used again",
          PlatRecordFolder(folder.c_str()) == PLAT_FOLDER_OK && PlatRecordFolder(folder.c_str()) == PLAT_FOLDER_OK);
    std::string csv = folder + "\\service-record.csv", old = folder + "\\service-record.old.csv";
    bool created = false;
    PlatAppendClose(PlatAppendOpen(csv.c_str(), &created));
    HANDLE holder = CreateFileA(csv.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    Check("a record held for reading only neither opens nor rotates",
          PlatAppendOpen(csv.c_str(), &created) == PLAT_NO_HANDLE && !PlatRotateFile(csv.c_str(), old.c_str(), -1));
    CloseHandle(holder);
    return Failed ? 1 : 0;
}
