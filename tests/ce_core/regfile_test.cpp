// REGEDIT4 text: round trips of every value type, and refusals of malformed
// files that name the line and change nothing.
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ce/registry.h"
#include "cehost/regfile.h"
#include "common/platform_test.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Units(std::u16string_view s, bool terminator = true) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(uint8_t(c));
        b.push_back(uint8_t(c >> 8));
    }
    if (terminator)
        b.insert(b.end(), {0, 0});
    return b;
}

struct TypedValue {
    const char16_t* name;
    DWORD type;
    Bytes data;
};

std::vector<TypedValue> AllKinds() {
    Bytes big;
    for (int i = 0; i < 300; ++i)
        big.push_back(uint8_t(i * 7));
    Bytes multi = Units(u"one");
    Bytes two = Units(u"two");
    multi.insert(multi.end(), two.begin(), two.end());
    multi.insert(multi.end(), {0, 0});
    return {
        {u"", REG_SZ, Units(u"default")},
        {u"Plain", REG_SZ, Units(u"serlynx.dll")},
        {u"Escapes \"q\" \\", REG_SZ, Units(u"C:\\dir\\\"x\"")},
        {u"Unicode", REG_SZ, Units(u"caf\u00e9 \u20ac \U0001F600")},
        {u"EmptyString", REG_SZ, Units(u"")},
        {u"NoTerminator", REG_SZ, Units(u"abc", false)},
        {u"EmbeddedNul", REG_SZ, Units(std::u16string(u"a\0b", 3))},
        {u"OddBytes", REG_SZ, Bytes{0x41, 0x00, 0x42}},
        {u"LineBreak", REG_SZ, Units(u"a\nb")},
        {u"LoneSurrogate", REG_SZ, Units(u"\xD800x")},
        {u"Dword", REG_DWORD, Bytes{0x78, 0x56, 0x34, 0x12}},
        {u"ShortDword", REG_DWORD, Bytes{1, 2}},
        {u"Binary", REG_BINARY, Bytes{0x00, 0xff, 0x10}},
        {u"EmptyBinary", REG_BINARY, Bytes{}},
        {u"LongBinary", REG_BINARY, big},
        {u"Expand", REG_EXPAND_SZ, Units(u"%windir%\\x")},
        {u"Multi", REG_MULTI_SZ, multi},
        {u"None", REG_NONE, Bytes{9}},
        {u"Odd type", 0x1234, Bytes{1, 2, 3}},
    };
}

class RegFileTest : public PlatformTest {};

TEST_F(RegFileTest, EveryTypeRoundTripsByteForByte) {
    const auto values = AllKinds();
    for (const auto& v : values)
        ASSERT_TRUE(cehost::RegWrite(u"Drivers\\Test", v.name, v.type, v.data));
    cehost::RegWriteDword(u"Drivers\\Test\\Sub key [x]", u"n", 5);
    HKEY k;  // a key without values survives the round trip too
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, u"Empty\\Leaf", 0, nullptr, 0, 0, nullptr, &k, nullptr);
    RegCloseKey(k);

    const std::string text = cehost::ExportRegText();
    cehost::ResetPlatform();
    cehost::RegFileError err;
    ASSERT_TRUE(cehost::ImportRegText(text, &err)) << err.ToString() << "\n" << text;

    for (const auto& v : values) {
        SCOPED_TRACE(cehost::Utf8(v.name));
        auto got = cehost::RegRead(u"drivers\\test", v.name);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->type, v.type);
        EXPECT_EQ(got->data, v.data);
    }
    EXPECT_EQ(cehost::RegReadDword(u"Drivers\\Test\\Sub key [x]", u"n"), 5u);
    EXPECT_TRUE(cehost::RegKeyExists(u"Empty\\Leaf"));
    EXPECT_EQ(cehost::ExportRegText(), text) << "export is stable";
}

TEST_F(RegFileTest, CleanStringsAreWrittenAsText) {
    cehost::RegWriteString(u"K", u"Dll", u"a\\b\"c");
    cehost::RegWrite(u"K", u"Raw", REG_SZ, Units(u"ab", false));
    cehost::RegWriteDword(u"K", u"Index", 0x1F);
    const std::string text = cehost::ExportRegText(u"K");
    EXPECT_NE(text.find("\"Dll\"=\"a\\\\b\\\"c\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Raw\"=hex(1):61,00,62,00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\"Index\"=dword:0000001f\n"), std::string::npos) << text;
    EXPECT_EQ(text.rfind("REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\K]\n", 0), 0u) << text;
}

TEST_F(RegFileTest, ImportsHandWrittenSyntax) {
    const char* text =
        "\xEF\xBB\xBFREGEDIT4\r\n"
        "; comment\r\n"
        "\r\n"
        "[hkey_local_machine\\Drivers\\USB\\LoadClients\\Default\\Default\\Default\\Serlynx]\r\n"
        "\"Dll\" = \"serlynx.dll\"   ; trailing comment\r\n"
        "@=\"def\"\r\n"
        "\"D\"=dword:FF\r\n"
        "\"H\"=hex:01, 02,\\\r\n"
        "    03,\\\r\n"
        "  4\r\n"
        "\"X\"=hex(2):41,00,00,00\r\n"
        "\"T\"=hex(10):\r\n"
        "\"hexdir\"=\"C:\\\\\"\r\n"  // "hex" in the name, a value ending in a backslash
        "\"After\"=dword:2\r\n";
    cehost::RegFileError err;
    ASSERT_TRUE(cehost::ImportRegText(text, &err)) << err.ToString();
    const char16_t* key = u"Drivers\\USB\\LoadClients\\Default\\Default\\Default\\Serlynx";
    EXPECT_EQ(cehost::RegReadString(key, u"Dll"), u"serlynx.dll");
    EXPECT_EQ(cehost::RegReadString(key, u""), u"def");
    EXPECT_EQ(cehost::RegReadDword(key, u"D"), 0xFFu);
    EXPECT_EQ(cehost::RegRead(key, u"H")->data, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(cehost::RegRead(key, u"X")->type, REG_EXPAND_SZ);
    EXPECT_EQ(cehost::RegReadString(key, u"X"), u"A");
    EXPECT_EQ(cehost::RegRead(key, u"T")->type, 0x10u);
    EXPECT_EQ(cehost::RegReadString(key, u"hexdir"), u"C:\\");
    EXPECT_EQ(cehost::RegReadDword(key, u"After"), 2u);
}

TEST_F(RegFileTest, DeletesValuesAndKeys) {
    cehost::RegWriteDword(u"A\\B\\C", u"v", 1);
    cehost::RegWriteDword(u"A", u"keep", 1);
    cehost::RegWriteDword(u"A", u"drop", 1);
    ASSERT_TRUE(
        cehost::ImportRegText("REGEDIT4\n[-HKEY_LOCAL_MACHINE\\A\\B]\n"
                              "[HKEY_LOCAL_MACHINE\\A]\n\"drop\"=-\n"
                              "[-HKEY_LOCAL_MACHINE\\Never\\There]\n"));
    EXPECT_FALSE(cehost::RegKeyExists(u"A\\B"));
    EXPECT_TRUE(cehost::RegReadDword(u"A", u"keep"));
    EXPECT_FALSE(cehost::RegReadDword(u"A", u"drop"));
}

TEST_F(RegFileTest, MalformedFilesNameTheLineAndChangeNothing) {
    struct Case {
        const char* text;
        int line;
        const char* mentions;
    };
    const Case cases[] = {
        {"", 1, "REGEDIT4"},
        {"Windows Registry\n", 1, "REGEDIT4"},
        {"REGEDIT4\n\"x\"=dword:1\n", 2, "before the first"},
        {"REGEDIT4\n[HKEY_CURRENT_USER\\X]\n", 2, "HKEY_LOCAL_MACHINE"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\n", 2, "]"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X\\\\Y]\n", 2, "key path"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE]\n", 2, "itself"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:123456789\n", 3, "8 hex"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:12g4\n", 3, "hex digit"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,zz\n", 3, "zz"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,,02\n", 3, "bad byte"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex(x):01\n", 3, "hex(N)"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"open\n", 3, "unterminated"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"bad \\q\"\n", 3, "escape"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"x\" junk\n", 3, "after the string"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=qword:1\n", 3, "unknown value format"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"dword:1\n", 3, "expected ="},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\nnonsense\n", 3, "expected [key]"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,\\\n", 3, "end of the file"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=hex:01,\\\n  02,zz\n\"b\"=-\n", 3, "zz"},
        {"REGEDIT4\n[-HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:1\n", 3, "being deleted"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"a\"=\"\xC3\x28\"\n", 3, "UTF-8"},
    };
    cehost::RegWriteDword(u"Existing", u"v", 42);
    // Each bad file is preceded by good lines that would change the registry.
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string before = cehost::ExportRegText();
        cehost::RegFileError err;
        std::string text = c.text;
        EXPECT_FALSE(cehost::ImportRegText(text, &err));
        EXPECT_EQ(err.line, c.line) << err.ToString();
        EXPECT_NE(err.message.find(c.mentions), std::string::npos) << err.ToString();
        EXPECT_EQ(err.ToString().rfind("line " + std::to_string(c.line) + ": ", 0), 0u);
        EXPECT_EQ(cehost::ExportRegText(), before);
    }
    // Good content before the bad line is not applied either.
    cehost::RegFileError err;
    EXPECT_FALSE(cehost::ImportRegText(
        "REGEDIT4\n[-HKEY_LOCAL_MACHINE\\Existing]\n[HKEY_LOCAL_MACHINE\\New]\n\"a\"=dword:1\n"
        "\"b\"=dword:xyz\n",
        &err));
    EXPECT_EQ(err.line, 5);
    EXPECT_EQ(cehost::RegReadDword(u"Existing", u"v"), 42u);
    EXPECT_FALSE(cehost::RegKeyExists(u"New"));
}

TEST_F(RegFileTest, FilesOnDisk) {
    cehost::RegWriteString("Drivers\\X", "Name", "value");
    const std::string path = ::testing::TempDir() + "ce_core_regfile.reg";
    cehost::RegFileError err;
    ASSERT_TRUE(cehost::ExportRegFile(path, u"", &err)) << err.ToString();
    cehost::ResetPlatform();
    ASSERT_TRUE(cehost::ImportRegFile(path, &err)) << err.ToString();
    EXPECT_EQ(cehost::RegReadString("drivers\\x", "name"), "value");
    std::remove(path.c_str());
    EXPECT_FALSE(cehost::ImportRegFile(path, &err));
    EXPECT_EQ(err.line, 0);
    EXPECT_FALSE(cehost::ExportRegFile(path, u"No\\Such\\Key", &err));
}

}  // namespace
