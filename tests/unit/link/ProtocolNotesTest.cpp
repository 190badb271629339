// The protocol notes (docs/protocol.md) name every link message type and every server action
// the code has: the notes are read against the headers they describe, so a type or an action
// added to the code and not to the notes fails here.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "link/LinkProtocol.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;

fs::path SourceRoot() {
    return fs::path(ZORP_TEST_DATA_DIR).parent_path().parent_path();
}

// The text between "enum class <name>" and the closing "};" of the enum.
std::string EnumBody(const std::string& header, const std::string& name) {
    const size_t start = header.find("enum class " + name);
    if (start == std::string::npos) {
        return {};
    }
    const size_t end = header.find("};", start);
    return header.substr(start, end - start);
}

// (name, number) of every enumerator written "kName = N".
std::vector<std::pair<std::string, int>> NumberedEnumerators(const std::string& body) {
    std::vector<std::pair<std::string, int>> entries;
    const std::regex entry(R"((k\w+)\s*=\s*(\d+))");
    for (std::sregex_iterator it(body.begin(), body.end(), entry), end; it != end; ++it) {
        entries.emplace_back((*it)[1].str(), std::stoi((*it)[2].str()));
    }
    return entries;
}

// The section of the notes from a heading to the next heading of its level or above.
std::string Section(const std::string& notes, const std::string& heading) {
    const size_t start = notes.find(heading);
    if (start == std::string::npos) {
        return {};
    }
    const std::string level = heading.substr(0, heading.find(' ') + 1);
    size_t end = notes.find("\n" + level, start + heading.size());
    return notes.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

class ProtocolNotesTest : public testing::Test {
protected:
    std::string notes = zorp::test::ReadFile(SourceRoot() / "docs" / "protocol.md");
};

TEST_F(ProtocolNotesTest, EveryLinkMessageTypeIsDescribedWithItsNumber) {
    ASSERT_FALSE(notes.empty());
    const std::string header = zorp::test::ReadFile(SourceRoot() / "src/link/LinkProtocol.h");
    struct Direction {
        const char* enumName;
        const char* heading;
    };
    for (const Direction direction :
         {Direction{"In", "### Page to zorp"}, Direction{"Out", "### zorp to page"}}) {
        const auto types = NumberedEnumerators(EnumBody(header, direction.enumName));
        ASSERT_GE(types.size(), 16u) << direction.enumName;
        const std::string section = Section(notes, direction.heading);
        ASSERT_FALSE(section.empty()) << direction.heading;
        for (const auto& [name, number] : types) {
            const std::string row = "| " + std::to_string(number) + " | `" + name + "` |";
            EXPECT_NE(section.find(row), std::string::npos)
                << direction.enumName << "::" << name << " (" << number << ") has no row";
        }
    }
    // The numbers in the notes are the protocol's.
    EXPECT_EQ(LinkProtocol::Number(LinkProtocol::Out::kKeepAlive), 23);
    EXPECT_EQ(LinkProtocol::Number(LinkProtocol::In::kShowBackupConfig), 16);
}

TEST_F(ProtocolNotesTest, EveryServerActionAndRequestKindIsDescribed) {
    ASSERT_FALSE(notes.empty());
    const std::string section = Section(notes, "## The server actions");
    ASSERT_FALSE(section.empty());

    // The public actions of CloudApi: its static functions before "private:".
    std::string api = zorp::test::ReadFile(SourceRoot() / "src/cloud/CloudApi.h");
    api = api.substr(0, api.find("private:"));
    const std::regex action(R"(static\s+[\w:<>]+\s+(\w+)\()");
    std::set<std::string> actions;
    for (std::sregex_iterator it(api.begin(), api.end(), action), end; it != end; ++it) {
        actions.insert((*it)[1].str());
    }
    EXPECT_GE(actions.size(), 12u);
    for (const auto& name : actions) {
        EXPECT_NE(section.find("`CloudApi::" + name + "`"), std::string::npos)
            << "CloudApi::" << name;
    }

    const std::string kinds =
        EnumBody(zorp::test::ReadFile(SourceRoot() / "src/cloud/RequestKind.h"), "RequestKind");
    const std::regex kind(R"(^\s*(k\w+),)", std::regex::multiline);
    int count = 0;
    for (std::sregex_iterator it(kinds.begin(), kinds.end(), kind), end; it != end; ++it) {
        ++count;
        EXPECT_NE(section.find("`" + (*it)[1].str() + "`"), std::string::npos) << (*it)[1].str();
    }
    EXPECT_GE(count, 13);
}

}  // namespace
