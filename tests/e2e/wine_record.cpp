// wine_record.cpp - the Windows backend's service-record folder and files under Wine:
// the security descriptor the folder is made with, parsed back; the rules that judge
// an access list, an owner and a folder's attributes; and the files' exclusive
// creation, taking and rotation on Wine's real files. Built and run by wine_update.sh.
//
//   wine_record DIR      DIR: a Windows path of an empty folder to work in
// Prints PASS/FAIL lines; exit code 1 when any failed.
#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/win32/win32.h"

static int Failed = 0;
static void Check(const char* what, bool ok) {
    printf("%s %s\n", ok ? "PASS" : "FAIL", what);
    if (!ok) Failed++;
}

static PSECURITY_DESCRIPTOR Parse(const char* sddl) {
    PSECURITY_DESCRIPTOR sd = NULL;
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, NULL) ? sd : NULL;
}

static PSID Sid(const char* text) {
    PSID sid = NULL;
    return ConvertStringSidToSidA(text, &sid) ? sid : NULL;
}

// The allowed ACE of the descriptor's access list for this SID: its mask and flags.
static bool AceFor(PSECURITY_DESCRIPTOR sd, const char* sidText, DWORD* mask, BYTE* flags) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = NULL;
    PSID want = Sid(sidText);
    bool found = false;
    if (GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted) && present && dacl)
        for (DWORD i = 0; i < dacl->AceCount && !found; i++) {
            ACCESS_ALLOWED_ACE* ace = NULL;
            if (GetAce(dacl, i, (void**)&ace) && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                EqualSid((PSID)&ace->SidStart, want)) {
                *mask = ace->Mask;
                *flags = ace->Header.AceFlags;
                found = true;
            }
        }
    LocalFree(want);
    return found;
}

static void TheFolderDescriptor() {
    PSECURITY_DESCRIPTOR sd = Parse(WIN32_RECORD_FOLDER_SDDL);
    Check("the folder's SDDL converts", sd != NULL);
    if (!sd) return;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    Check("its access list is protected from inheritance", (control & SE_DACL_PROTECTED) != 0);
    PSID owner = NULL;
    BOOL ownerDefaulted = FALSE;
    PSID admins = Sid("S-1-5-32-544");
    Check("its owner is Administrators",
          GetSecurityDescriptorOwner(sd, &owner, &ownerDefaulted) && owner && EqualSid(owner, admins));
    LocalFree(admins);
    const BYTE BOTH = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
    DWORD mask = 0;
    BYTE flags = 0;
    Check("SYSTEM: full control, for the folder and all in it",
          AceFor(sd, "S-1-5-18", &mask, &flags) && mask == FILE_ALL_ACCESS && (flags & BOTH) == BOTH);
    Check("Administrators: full control, for the folder and all in it",
          AceFor(sd, "S-1-5-32-544", &mask, &flags) && mask == FILE_ALL_ACCESS && (flags & BOTH) == BOTH);
    // Read and list: FILE_GENERIC_READ | FILE_EXECUTE, and nothing that writes or deletes.
    Check("Users: read only (0x1200a9), for the folder and all in it",
          AceFor(sd, "S-1-5-32-545", &mask, &flags) && mask == 0x1200a9 && (flags & BOTH) == BOTH);
    Check("nobody else is named", !AceFor(sd, "S-1-1-0", &mask, &flags) && !AceFor(sd, "S-1-3-0", &mask, &flags));
    Check("the rule takes it for protected", Win32DaclProtected(sd));
    LocalFree(sd);
}

static void TheRules() {
    struct {
        const char* sddl;
        bool safe;
    } lists[] = {
        {"D:(A;OICI;0x1301bf;;;BU)", false},                                            // the former folder's
        {"D:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", false},            // not protected
        {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)", false},           // Users modify
        {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;CIIO;0x2;;;BU)", false},                // Users add files
        {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)", false},               // creator owner
        {"D:P(A;;FA;;;WD)", false},                                                     // everyone
        {"D:NO_ACCESS_CONTROL", false},                                                 // no list at all
        {"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        {"D:P(D;OICI;FA;;;BG)(A;OICI;FA;;;BA)(A;OICI;FR;;;BU)", true},
    };
    for (auto& l : lists) {
        PSECURITY_DESCRIPTOR sd = Parse(l.sddl);
        char what[160];
        snprintf(what, sizeof what, "%s is %s", l.sddl, l.safe ? "protected" : "not protected");
        Check(what, sd && Win32DaclProtected(sd) == l.safe);
        LocalFree(sd);
    }
    struct {
        const char* sid;
        bool trusted;
    } owners[] = {{"S-1-5-32-544", true}, {"S-1-5-18", true}, {"S-1-5-32-545", false},
                  {"S-1-1-0", false},     {"S-1-5-21-1-2-3-1001", false}};
    for (auto& o : owners) {
        PSID sid = Sid(o.sid);
        char what[96];
        snprintf(what, sizeof what, "owner %s is %s", o.sid, o.trusted ? "trusted" : "not trusted");
        Check(what, Win32OwnerTrusted(sid) == o.trusted);
        LocalFree(sid);
    }
    struct {
        DWORD attributes;
        bool ownerTrusted;
        PlatFolderState state;
        const char* what;
    } folders[] = {
        {FILE_ATTRIBUTE_DIRECTORY, true, PLAT_FOLDER_OK, "a folder of the administrators is used"},
        {FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, true, PLAT_FOLDER_LINK, "a junction is refused"},
        {FILE_ATTRIBUTE_DIRECTORY, false, PLAT_FOLDER_FOREIGN, "a folder a user made is refused"},
        {FILE_ATTRIBUTE_NORMAL, true, PLAT_FOLDER_NOT_FOLDER, "a file is no folder"},
    };
    for (auto& f : folders) Check(f.what, Win32JudgeFolder(f.attributes, f.ownerTrusted) == f.state);
}

static std::string In(const char* dir, const char* name) { return std::string(dir) + "\\" + name; }

static void TheFiles(const char* dir) {
    std::string folder = In(dir, "Kqsfupdt");
    Check("the folder is made and used", PlatRecordFolder(folder.c_str()) == PLAT_FOLDER_OK);
    Check("an existing folder is used again", PlatRecordFolder(folder.c_str()) == PLAT_FOLDER_OK);
    std::string file = In(folder.c_str(), "a-file");
    bool taken = false;
    PlatHandle h = PlatCreateNew(file.c_str(), &taken);
    Check("a new file is created", h != PLAT_NO_HANDLE && !taken);
    PlatAppendWrite(h, "0123456789", 10);
    PlatAppendClose(h);
    Check("a file's name is no folder", PlatRecordFolder(file.c_str()) == PLAT_FOLDER_NOT_FOLDER);
    Check("an existing name is taken, not opened", PlatCreateNew(file.c_str(), &taken) == PLAT_NO_HANDLE && taken);

    // Held for reading only, as a spreadsheet holds it: no append, no rotation.
    HANDLE holder = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    bool created = false;
    PlatHandle held = PlatAppendOpen(file.c_str(), &created);
    Check("a record held without write sharing does not open", held == PLAT_NO_HANDLE);
    std::string old = In(folder.c_str(), "a-file.old");
    Check("nor is it rotated", !PlatRotateFile(file.c_str(), old.c_str(), 5));
    CloseHandle(holder);
    Check("a file at the bound is not rotated", !PlatRotateFile(file.c_str(), old.c_str(), 10));
    Check("past the bound it is", PlatRotateFile(file.c_str(), old.c_str(), 9) &&
                                      GetFileAttributesA(file.c_str()) == INVALID_FILE_ATTRIBUTES);

    std::string pending = In(folder.c_str(), "pending.csv");
    Check("a pending file is written whole", PlatWriteNewFile(pending.c_str(), "row\r\n", 5) == 1);
    Check("its name is not written twice", PlatWriteNewFile(pending.c_str(), "other\r\n", 7) == 0);
    char buffer[64];
    size_t count = 0;
    PlatHandle take = PlatTakeOpen(pending.c_str(), buffer, sizeof buffer, &count);
    Check("it is taken with its lines", take != PLAT_NO_HANDLE && count == 5 && memcmp(buffer, "row\r\n", 5) == 0);
    Check("a second copy cannot take it meanwhile",
          PlatTakeOpen(pending.c_str(), buffer, sizeof buffer, &count) == PLAT_NO_HANDLE);
    PlatTakeClose(take, pending.c_str(), true);
    Check("once its lines are in, it is gone", GetFileAttributesA(pending.c_str()) == INVALID_FILE_ATTRIBUTES);
}

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: wine_record DIR\n");
        return 2;
    }
    TheFolderDescriptor();
    TheRules();
    TheFiles(argv[1]);
    return Failed ? 1 : 0;
}
