// The phone's udev rules, read by a small reader of the rules language that
// refuses anything udev would refuse (unknown keys, wrong operators, missing
// quotes, a GOTO without its LABEL) and then applied to the devices a phone
// and its neighbours bring: which devices the user at the seat may open,
// which groups own them, and which ports ModemManager must leave alone.

#include <gtest/gtest.h>

#include <fnmatch.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Term {
    std::string key;   // "ATTRS"
    std::string attr;  // "idVendor" for ATTR{idVendor}
    std::string op;    // ==, !=, =, +=, -=, :=
    std::string value;
};
using Rule = std::vector<Term>;

const std::set<std::string> kMatchKeys{"ACTION", "DEVPATH", "KERNEL", "KERNELS", "SUBSYSTEM", "SUBSYSTEMS",
                                       "DRIVER", "DRIVERS", "ATTR", "ATTRS", "ENV", "TAG", "TAGS"};
const std::set<std::string> kAssignKeys{"ENV", "TAG", "MODE", "GROUP", "OWNER", "GOTO", "LABEL", "SYMLINK",
                                        "RUN", "OPTIONS", "ATTR"};
const std::set<std::string> kKeysWithAttr{"ATTR", "ATTRS", "ENV"};

// One rule line into its terms; an error text for anything udev would not take.
std::optional<Rule> ParseRule(const std::string& line, std::string* error)
{
    Rule rule;
    size_t i = 0;
    auto skipBlanks = [&] {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            ++i;
    };
    while (true) {
        skipBlanks();
        Term term;
        while (i < line.size() && ((line[i] >= 'A' && line[i] <= 'Z') || line[i] == '_'))
            term.key += line[i++];
        if (i < line.size() && line[i] == '{') {
            const size_t close = line.find('}', i);
            if (close == std::string::npos)
                return *error = "unclosed {", std::nullopt;
            term.attr = line.substr(i + 1, close - i - 1);
            i = close + 1;
        }
        skipBlanks();
        for (const char* op : {"==", "!=", "+=", "-=", ":=", "="}) {
            if (line.compare(i, std::string(op).size(), op) == 0) {
                term.op = op;
                i += term.op.size();
                break;
            }
        }
        skipBlanks();
        if (term.key.empty() || term.op.empty() || i >= line.size() || line[i] != '"')
            return *error = "malformed term at column " + std::to_string(i), std::nullopt;
        const size_t close = line.find('"', i + 1);
        if (close == std::string::npos)
            return *error = "unclosed quote", std::nullopt;
        term.value = line.substr(i + 1, close - i - 1);
        i = close + 1;
        const bool match = term.op == "==" || term.op == "!=";
        if (!(match ? kMatchKeys : kAssignKeys).count(term.key))
            return *error = term.key + term.op + " is not a valid term", std::nullopt;
        if (kKeysWithAttr.count(term.key) != 0 && term.attr.empty())
            return *error = term.key + " needs {name}", std::nullopt;
        rule.push_back(term);
        skipBlanks();
        if (i == line.size())
            return rule;
        if (line[i] != ',')
            return *error = "expected a comma at column " + std::to_string(i), std::nullopt;
        ++i;
    }
}

struct RulesFile {
    std::vector<Rule> rules;
    std::string error;
};

RulesFile ReadRules(const std::filesystem::path& path)
{
    RulesFile file;
    std::ifstream in(path);
    std::string line;
    std::set<std::string> labels, gotos;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#')
            continue;
        std::string error;
        const std::optional<Rule> rule = ParseRule(line.substr(first), &error);
        if (!rule) {
            file.error = "line " + std::to_string(number) + ": " + error;
            return file;
        }
        for (const Term& term : *rule) {
            if (term.key == "LABEL")
                labels.insert(term.value);
            else if (term.key == "GOTO")
                gotos.insert(term.value);
        }
        file.rules.push_back(*rule);
    }
    for (const std::string& target : gotos) {
        if (!labels.count(target))
            file.error = "GOTO without LABEL: " + target;
    }
    return file;
}

// A device as udev sees it: its own values, then its parents, nearest first.
struct Node {
    std::string subsystem;
    std::string kernel;
    std::map<std::string, std::string> attrs;
};
struct Device {
    std::string action;
    std::string devtype;
    std::vector<Node> chain;  // chain[0]: the device itself
};
struct Outcome {
    std::set<std::string> tags;
    std::map<std::string, std::string> env;
    std::string group = "root";
    std::string mode;
};

bool Glob(const std::string& pattern, const std::string& text)
{
    std::stringstream alternatives(pattern);
    std::string one;
    while (std::getline(alternatives, one, '|')) {
        if (fnmatch(one.c_str(), text.c_str(), 0) == 0)
            return true;
    }
    return false;
}

bool Matches(const Term& term, const Device& device, const Outcome& outcome)
{
    auto compare = [&](const std::string& value) { return Glob(term.value, value) == (term.op == "=="); };
    const Node& self = device.chain.front();
    if (term.key == "ACTION")
        return compare(device.action);
    if (term.key == "SUBSYSTEM")
        return compare(self.subsystem);
    if (term.key == "KERNEL")
        return compare(self.kernel);
    if (term.key == "ATTR") {
        const auto found = self.attrs.find(term.attr);
        return found != self.attrs.end() && compare(found->second);
    }
    if (term.key == "ENV") {
        if (term.attr == "DEVTYPE")
            return compare(device.devtype);
        const auto found = outcome.env.find(term.attr);
        return compare(found == outcome.env.end() ? std::string() : found->second);
    }
    // SUBSYSTEMS, KERNELS and ATTRS: the device or any of its parents.
    for (const Node& node : device.chain) {
        if (term.key == "SUBSYSTEMS" && compare(node.subsystem))
            return true;
        if (term.key == "KERNELS" && compare(node.kernel))
            return true;
        if (term.key == "ATTRS") {
            const auto found = node.attrs.find(term.attr);
            if (found != node.attrs.end() && compare(found->second))
                return true;
        }
    }
    return false;
}

Outcome Apply(const RulesFile& file, const Device& device)
{
    Outcome outcome;
    std::string skipTo;
    for (const Rule& rule : file.rules) {
        if (!skipTo.empty()) {
            if (rule.front().key == "LABEL" && rule.front().value == skipTo)
                skipTo.clear();
            continue;
        }
        bool all = true;
        for (const Term& term : rule) {
            if ((term.op == "==" || term.op == "!=") && !Matches(term, device, outcome))
                all = false;
        }
        if (!all)
            continue;
        for (const Term& term : rule) {
            if (term.key == "TAG")
                outcome.tags.insert(term.value);
            else if (term.key == "ENV" && term.op != "==" && term.op != "!=")
                outcome.env[term.attr] = term.value;
            else if (term.key == "GROUP")
                outcome.group = term.value;
            else if (term.key == "MODE")
                outcome.mode = term.value;
            else if (term.key == "GOTO")
                skipTo = term.value;
        }
    }
    return outcome;
}

std::filesystem::path RulesPath()
{
    const char* source = std::getenv("ORVELLO_TEST_SOURCE_DIR");
    return std::filesystem::path(source ? source : ".") / "packaging/linux/70-orvello.rules";
}

Node UsbDevice(const char* vendor, const char* product)
{
    return {"usb", "1-2", {{"idVendor", vendor}, {"idProduct", product}}};
}
Node UsbInterface(const char* name) { return {"usb", name, {{"bInterfaceClass", "02"}}}; }

TEST(UdevRules, FileSortsBeforeTheSeatRulesThatHonourUaccess)
{
    // 73-seat-late.rules turns the uaccess tag into the seat user's access;
    // a tag set by a later file would come too late.
    EXPECT_LT(RulesPath().filename().string(), std::string("73-seat-late.rules"));
    const RulesFile file = ReadRules(RulesPath());
    EXPECT_EQ(file.error, "");
    EXPECT_GE(file.rules.size(), 3u);
}

TEST(UdevRules, ReaderRefusesWhatUdevRefuses)
{
    const char* const bad[] = {
        R"(SUBSYSTEM="usb", TAG+="uaccess")",         // assignment to a match-only key
        R"(ATTRS{idVendor}=="22b8" TAG+="uaccess")",  // missing comma
        R"(ATTRS=="22b8")",                           // ATTRS without a name
        R"(TAG+=uaccess)",                            // missing quotes
        R"(SUBSYSTEMS=="usb", MOOD="0660")",          // unknown key
    };
    for (const char* line : bad) {
        std::string error;
        EXPECT_FALSE(ParseRule(line, &error)) << line;
        EXPECT_FALSE(error.empty()) << line;
    }
}

TEST(UdevRules, PhoneInBothModesIsTheSeatUsersAndModemManagerKeepsOff)
{
    const RulesFile file = ReadRules(RulesPath());
    ASSERT_EQ(file.error, "");
    const Node phoneModem = UsbDevice("22b8", "4902");
    const Node phoneTest = UsbDevice("22b8", "4901");
    const Node board = UsbDevice("2341", "0043");  // another CDC-ACM device
    struct Case {
        const char* what;
        Device device;
        bool uaccess;
        const char* group;
        bool modemManagerIgnores;
    };
    const Case cases[] = {
        {"phone in modem mode", {"add", "usb_device", {phoneModem}}, true, "plugdev", false},
        {"phone in test-command mode", {"add", "usb_device", {phoneTest}}, true, "plugdev", false},
        {"phone's modem port",
         {"add", "", {{"tty", "ttyACM0", {}}, UsbInterface("1-2:1.0"), phoneModem}},
         true, "root", true},
        {"phone's modem port on a change", {"change", "", {{"tty", "ttyACM3", {}}, UsbInterface("1-2:1.0"), phoneModem}},
         true, "root", true},
        {"phone's interface", {"add", "usb_interface", {UsbInterface("1-2:1.8"), phoneTest}}, false, "root", false},
        {"phone leaving", {"remove", "usb_device", {phoneTest}}, false, "root", false},
        {"another vendor's device", {"add", "usb_device", {board}}, false, "root", false},
        {"another vendor's modem port",
         {"add", "", {{"tty", "ttyACM0", {}}, UsbInterface("1-3:1.0"), board}},
         false, "root", false},
        {"a serial adapter of the same vendor", {"add", "", {{"tty", "ttyUSB0", {}}, phoneModem}}, false, "root",
         false},
    };
    for (const Case& c : cases) {
        const Outcome outcome = Apply(file, c.device);
        EXPECT_EQ(outcome.tags.count("uaccess") == 1, c.uaccess) << c.what;
        EXPECT_EQ(outcome.group, c.group) << c.what;
        EXPECT_EQ(outcome.mode, std::string(c.group) == "root" ? "" : "0660") << c.what;
        const auto ignore = outcome.env.find("ID_MM_DEVICE_IGNORE");
        EXPECT_EQ(ignore != outcome.env.end() && ignore->second == "1", c.modemManagerIgnores) << c.what;
    }
}

}  // namespace
