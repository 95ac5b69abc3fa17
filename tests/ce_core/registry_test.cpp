// Registry API as drivers use it, and the REGEDIT4 text the tool keeps the
// registry in between runs.
#include <cstring>
#include <string>
#include <vector>

#include "ce/registry.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"

namespace {

class RegistryTest : public PlatformTest {};

TEST_F(RegistryTest, NamesIgnoreCaseAndShortBuffersAreRefused) {
    HKEY a = nullptr, b = nullptr;
    DWORD disp = 0;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\USB", 0, nullptr, 0, 0, nullptr, &a, &disp);
    EXPECT_EQ(disp, REG_CREATED_NEW_KEY);
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"DRIVERS\\usb", 0, nullptr, 0, 0, nullptr, &b, &disp);
    EXPECT_EQ(disp, REG_OPENED_EXISTING_KEY);
    EXPECT_EQ(RegSetValueExW(a, u"Prefix", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"COM"), 8), 0);
    EXPECT_EQ(RegSetValueExW(b, u"PREFIX", 0, REG_SZ, reinterpret_cast<const BYTE*>(u"ECH"), 8), 0);
    EXPECT_EQ(cehost::RegValueNames(u"drivers\\Usb"), std::vector<std::u16string>{u"Prefix"});
    // Size only, a buffer that fits, one a unit short: the size is always
    // told; a short buffer is left untouched.
    for (DWORD capacity : {0u, 8u, 7u}) {
        char16_t buf[4] = {u'#', u'#', u'#', u'#'};
        DWORD type = 0, size = capacity;
        EXPECT_EQ(RegQueryValueExW(a, u"prefix", nullptr, &type,
                                   capacity ? reinterpret_cast<BYTE*>(buf) : nullptr, &size),
                  capacity == 7 ? ERROR_MORE_DATA : ERROR_SUCCESS);
        EXPECT_EQ(size, 8u);
        EXPECT_EQ(type, DWORD(REG_SZ));
        EXPECT_EQ(buf[0], capacity == 8 ? u'E' : u'#');
    }
    EXPECT_EQ(RegDeleteValueW(a, u"pREFIX"), ERROR_SUCCESS);
    EXPECT_EQ(RegDeleteValueW(a, u"Prefix"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, u"Drivers\\Nope", 0, 0, &b), ERROR_FILE_NOT_FOUND);
    RegCloseKey(a);
    RegCloseKey(b);
}

// Values of every shape survive export and import byte for byte; a bad file
// names its line and changes nothing, not even what its good lines before
// the fault would have.
TEST_F(RegistryTest, TextRoundTripsAndMalformedTextChangesNothing) {
    const std::vector<uint8_t> odd = {0x41, 0x00, 0x42}, binary(300, 0x5A);
    cehost::RegWrite(u"Drivers\\T", u"Odd\"q\"\\", REG_SZ, odd);  // not a whole string
    cehost::RegWrite(u"Drivers\\T", u"", 0x1234, binary);
    cehost::RegWriteString(u"Drivers\\T", u"Dll", u"C:\\dir\\\"x\"");
    cehost::RegWriteDword(u"Drivers\\T", u"Index", 0x12345678);
    const std::string text = cehost::ExportRegText();
    EXPECT_NE(text.find("\"Index\"=dword:12345678\n"), std::string::npos) << text;
    cehost::ResetPlatform();
    ASSERT_TRUE(cehost::ImportRegText(text)) << text;
    EXPECT_EQ(cehost::RegRead(u"drivers\\t", u"odd\"Q\"\\")->data, odd);
    EXPECT_EQ(cehost::RegRead(u"drivers\\t", u"")->data, binary);
    EXPECT_EQ(cehost::RegReadString(u"drivers\\t", u"dll"), u"C:\\dir\\\"x\"");
    EXPECT_EQ(cehost::RegReadDword(u"drivers\\t", u"index"), 0x12345678u);
    EXPECT_EQ(cehost::ExportRegText(), text) << "export is stable";
    const struct {
        const char* line4;
        const char* mentions;
    } cases[] = {
        {"\"a\"=dword:123456789", "8 hex"},     {"\"a\"=hex:01,zz", "zz"},
        {"\"a\"=\"open", "unterminated"},       {"\"a\"=\"bad \\q\"", "escape"},
        {"\"a\"=hex:01,\\", "end of the file"}, {"\"a\"=\"\xC3\x28\"", "UTF-8"},
    };
    for (const auto& c : cases) {
        cehost::RegFileError err;
        EXPECT_FALSE(cehost::ImportRegText(
            std::string("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Drivers]\n[HKEY_LOCAL_MACHINE\\X]\n") +
                c.line4 + "\n",
            &err));
        EXPECT_EQ(err.line, 4) << c.line4;
        EXPECT_NE(err.message.find(c.mentions), std::string::npos) << err.ToString();
        EXPECT_EQ(cehost::ExportRegText(), text);
    }
}

}  // namespace
