// The REGEDIT4 reader and writer: files as regedit exports them and as users
// write them by hand, and text that is not a registry export at all.

#include "platform/RegFile.h"

#include <gtest/gtest.h>

using orv::reg::Key;
using orv::reg::RegFile;
using orv::reg::Value;

namespace {

const Value& ValueOf(const RegFile& file, const char* name)
{
    const Key* key = file.FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello");
    EXPECT_NE(key, nullptr);
    const Value* value = RegFile::FindValue(*key, name);
    EXPECT_NE(value, nullptr) << name;
    static const Value none;
    return value ? *value : none;
}

// Every key path, value name, type and data byte, in file order.
std::vector<std::string> Contents(const RegFile& file)
{
    std::vector<std::string> lines;
    for (const Key& key : file.Keys()) {
        lines.push_back("[" + key.path + "]");
        for (const Value& value : key.values)
            lines.push_back(value.name + "=" + std::to_string(value.type) + ":" +
                            std::string(value.data.begin(), value.data.end()));
    }
    return lines;
}

}  // namespace

TEST(RegFile, ReadsARegeditExportWithEveryForm)
{
    const char* text =
        "Windows Registry Editor Version 5.00\r\n"
        "\r\n"
        "; exported by hand\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\r\n"
        "\"TempJpgName\"=\"/a/temp.jpg\"\r\n"
        "\"Quoted\"=\"say \\\"hi\\\" C:\\\\temp\"\r\n"
        "\"Timeout\"=dword:000003e8\r\n"
        "\"Fps\"=hex:00,00,00,00,00,00,39,\\\r\n"
        "  40\r\n"
        "\"Big\"=hex(4):01,02,03,04,05,06,07,08\r\n"
        "\"Raw\"=hex(1):41,42\r\n"
        "\"Empty\"=hex(1):\r\n"
        "@=\"default\"\r\n";
    std::string error;
    const auto file = RegFile::Parse(text, &error);
    ASSERT_TRUE(file) << error;

    EXPECT_EQ(ValueOf(*file, "TempJpgName").type, orv::reg::kRegSz);
    const std::vector<uint8_t> tempJpg{'/', 'a', '/', 't', 'e', 'm', 'p', '.', 'j', 'p', 'g', 0};
    EXPECT_EQ(ValueOf(*file, "TempJpgName").data, tempJpg);
    const std::string quoted(ValueOf(*file, "Quoted").data.begin(), ValueOf(*file, "Quoted").data.end());
    EXPECT_EQ(quoted, std::string("say \"hi\" C:\\temp") + '\0');
    EXPECT_EQ(ValueOf(*file, "timeout").data, (std::vector<uint8_t>{0xe8, 0x03, 0, 0}));  // names ignore case
    EXPECT_EQ(ValueOf(*file, "Fps").type, orv::reg::kRegBinary);
    EXPECT_EQ(ValueOf(*file, "Fps").data, (std::vector<uint8_t>{0, 0, 0, 0, 0, 0, 0x39, 0x40}));
    EXPECT_EQ(ValueOf(*file, "Big").type, orv::reg::kRegDword);
    EXPECT_EQ(ValueOf(*file, "Big").data.size(), 8u);
    EXPECT_EQ(ValueOf(*file, "Raw").data, (std::vector<uint8_t>{'A', 'B'}));
    EXPECT_TRUE(ValueOf(*file, "Empty").data.empty());
    EXPECT_EQ(ValueOf(*file, "").data.size(), 8u);
    // The parent keys exist as they do after an import.
    EXPECT_NE(file->FindKey("hkey_local_machine\\software\\tarvin"), nullptr);
}

TEST(RegFile, WritesWhatItReadsByteForByte)
{
    RegFile file;
    Key& key = file.CreateKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello");
    RegFile::SetValue(key, "Text", orv::reg::kRegSz, {'a', '"', '\\', 'b', 0});
    RegFile::SetValue(key, "NoZero", orv::reg::kRegSz, {'x', 'y'});
    RegFile::SetValue(key, "Zeroes", orv::reg::kRegSz, {});
    RegFile::SetValue(key, "Line", orv::reg::kRegSz, {'a', '\n', 'b', 0});
    RegFile::SetValue(key, "Number", orv::reg::kRegDword, {0xff, 0xff, 0xff, 0xff});
    RegFile::SetValue(key, "Short", orv::reg::kRegDword, {1, 2});
    std::vector<uint8_t> blob(300);
    for (size_t i = 0; i < blob.size(); ++i)
        blob[i] = static_cast<uint8_t>(i);
    RegFile::SetValue(key, "Blob", orv::reg::kRegBinary, blob);
    RegFile::SetValue(key, "Odd", 0x1234, {9});

    const std::string text = file.Serialize();
    EXPECT_EQ(text.rfind("REGEDIT4\n\n", 0), 0u);
    EXPECT_NE(text.find("\"Number\"=dword:ffffffff\n"), std::string::npos);
    EXPECT_NE(text.find("\"Text\"=\"a\\\"\\\\b\"\n"), std::string::npos);
    for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        EXPECT_LE(end - start, 80u) << "regedit folds long lines";

    const auto again = RegFile::Parse(text);
    ASSERT_TRUE(again);
    for (const char* name : {"Text", "NoZero", "Zeroes", "Line", "Number", "Short", "Blob", "Odd"}) {
        EXPECT_EQ(ValueOf(*again, name).data, ValueOf(file, name).data) << name;
        EXPECT_EQ(ValueOf(*again, name).type, ValueOf(file, name).type) << name;
    }
}

TEST(RegFile, DeletionLinesRemoveKeysAndValues)
{
    const auto file = RegFile::Parse("REGEDIT4\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello\\Sub]\n"
                                     "\"A\"=dword:1\n"
                                     "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n"
                                     "\"B\"=dword:2\n"
                                     "\"C\"=dword:3\n"
                                     "\"C\"=-\n"
                                     "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello\\Sub]\n");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello\\Sub"), nullptr);
    const Key* key = file->FindKey("HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello");
    ASSERT_NE(key, nullptr);
    EXPECT_NE(RegFile::FindValue(*key, "B"), nullptr);
    EXPECT_EQ(RegFile::FindValue(*key, "C"), nullptr);
}

TEST(RegFile, RefusesTextThatIsNotARegistryExport)
{
    const char* bad[] = {
        "",
        "; only a comment\n\n",
        "hello world\n",
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\TARVIN\\Orvello]\n\"A\"=dword:1\n",  // no header
        "REGEDIT5\n[HKEY_LOCAL_MACHINE\\X]\n",
    };
    for (const char* text : bad) {
        std::string error;
        EXPECT_FALSE(RegFile::Parse(text, &error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
    EXPECT_FALSE(RegFile::Parse(std::string("REGEDIT4\0\n[HKEY_LOCAL_MACHINE\\X]\n", 30)));
}

// Each line between two good values of one key: the file still reads, the
// line alone is passed over and named, the values around it stay. After a
// key line that does not read, the value below it goes too (it belongs to no
// key the file names), and the key above keeps only its own.
TEST(RegFile, AMalformedLineLosesOnlyWhatItHolds)
{
    struct Case {
        std::string line;
        bool afterKept;
    };
    const Case cases[] = {
        {"\"A\"=dword:123456789", true},  // nine digits
        {"\"A\"=dword:xyz", true},
        {"\"A\"=dword:1 trailing", true},
        {"\"A\"=hex:0g", true},
        {"\"A\"=hex:001", true},
        {"\"A\"=hex(zz):00", true},
        {"\"A\"=\"unterminated", true},
        {"\"A\"=\"bad \\n escape\"", true},
        {"\"A\"", true},
        {"A=dword:1", true},
        {std::string("\"A\"=\"x\0y\"", 9), true},
        {"[HKEY_LOCAL_MACHINE\\X", false},
        {"[NOT_A_HIVE]", false},
        {"[HKEY_\\\\_]", false},  // an empty key name, as the fuzzer found it
        {"[HKEY_LOCAL_MACHINE\\\\SOFTWARE]", false},
        {"[HKEY_LOCAL_MACHINE\\SOFTWARE\\]", false},
    };
    for (const Case& c : cases) {
        const std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n\"Before\"=dword:1\n" + c.line + "\n\"After\"=dword:2\n";
        std::string error;
        std::vector<std::string> skipped;
        const auto file = RegFile::Parse(text, &error, &skipped);
        ASSERT_TRUE(file) << c.line << ": " << error;
        ASSERT_EQ(file->Keys().size(), 1u) << c.line;
        const Key& key = file->Keys()[0];
        EXPECT_EQ(key.path, "HKEY_LOCAL_MACHINE\\X") << c.line;
        EXPECT_NE(RegFile::FindValue(key, "Before"), nullptr) << c.line;
        EXPECT_EQ(RegFile::FindValue(key, "A"), nullptr) << c.line;
        EXPECT_EQ(RegFile::FindValue(key, "After") != nullptr, c.afterKept) << c.line;
        ASSERT_EQ(skipped.size(), c.afterKept ? 1u : 2u) << c.line;
        EXPECT_EQ(skipped[0].rfind("line 4: ", 0), 0u) << skipped[0];
    }
}

TEST(RegFile, SurvivesRandomBytes)
{
    uint32_t seed = 12345;
    int parsed = 0;
    for (int round = 0; round < 2000; ++round) {
        std::string text = round % 2 ? "REGEDIT4\n[HKEY_LOCAL_MACHINE\\X]\n" : "";
        const size_t length = seed % 200;
        for (size_t i = 0; i < length; ++i) {
            seed = seed * 1103515245u + 12345u;
            static const char kAlphabet[] = "\"=\\,:[]-@hexdword0123456789abf\n\r (";
            text.push_back(kAlphabet[(seed >> 16) % (sizeof kAlphabet - 1)]);
        }
        if (const auto file = RegFile::Parse(text)) {
            ++parsed;
            const auto again = RegFile::Parse(file->Serialize());
            ASSERT_TRUE(again) << text;
            EXPECT_EQ(Contents(*again), Contents(*file)) << text;
        }
    }
    EXPECT_GT(parsed, 500) << "about half of the texts parse (973 of 2000), so the round trip is tried";
}
