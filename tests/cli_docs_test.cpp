// The options of `pixmill-cli --help` against the man page and both completion scripts, so that
// none of them can lose an option or a word the program accepts.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <sstream>

#include "cli_support.h"

namespace {

std::string packagingFile(const std::string& name) {
    return readFileContents(PIXMILL_SOURCE_DIR "/packaging/" + name);
}

// The man page source with roff's escaped hyphens plain.
std::string manText() {
    return strreplace(packagingFile("pixmill-cli.1"), "\\-", "-");
}

std::string helpText() {
    TempDir config, work;
    const CliResult result = runCli({"--help"}, config.path(), work.path());
    EXPECT_EQ(result.status, 0);
    return result.out;
}

std::set<std::string> optionsOf(const std::string& help) {
    std::set<std::string> names;
    const std::regex option(R"((^|[ ,])(--[a-z][a-z-]+|-[a-zA-Z0-9])(?=[ ,]))");
    std::istringstream lines(help);
    for (std::string line; std::getline(lines, line);) {
        const size_t first = line.find_first_not_of(' ');
        if (first < 2 || first > 6 || line[first] != '-') continue;  // only the option table's first column
        const std::string column = line.substr(0, 29);
        for (auto it = std::sregex_iterator(column.begin(), column.end(), option);
             it != std::sregex_iterator(); ++it)
            names.insert((*it)[2]);
    }
    return names;
}

// Each "--option WORD  a, b, c" line of the help: the option and its words.
std::vector<std::pair<std::string, std::vector<std::string>>> wordsOf(const std::string& help) {
    std::vector<std::pair<std::string, std::vector<std::string>>> found;
    const std::regex line(R"(^ +(?:-\w, )?(--[a-z-]+) WORD +(?:[a-z ]+: )?([a-z]+(?:, [a-z]+)*)(?::.*)?$)");
    std::istringstream lines(help);
    for (std::string text; std::getline(lines, text);) {
        std::smatch m;
        if (!std::regex_match(text, m, line)) continue;
        std::vector<std::string> words;
        std::istringstream list(strreplace(m[2].str(), ",", ""));
        for (std::string word; list >> word;) words.push_back(word);
        found.emplace_back(m[1].str(), words);
    }
    return found;
}

TEST(CliDocs, EveryOptionIsInTheManPageAndBothCompletions) {
    const std::set<std::string> names = optionsOf(helpText());
    ASSERT_GT(names.size(), 30u);
    const std::string man = manText();
    const std::string bash = packagingFile("pixmill-cli.bash");
    const std::string zsh = packagingFile("_pixmill-cli");
    for (const std::string& name : names) {
        EXPECT_TRUE(contains(man, name + " ") || contains(man, name + "\n") || contains(man, name + "\""))
            << name << " is not in pixmill-cli.1";
        EXPECT_TRUE(contains(bash, name)) << name << " is not in pixmill-cli.bash";
        EXPECT_TRUE(contains(zsh, name)) << name << " is not in _pixmill-cli";
    }
}

TEST(CliDocs, EveryWordOfAnOptionIsOfferedAndDocumented) {
    const auto options = wordsOf(helpText());
    ASSERT_GE(options.size(), 7u);
    const std::string man = manText();
    const std::string bash = packagingFile("pixmill-cli.bash");
    const std::string zsh = packagingFile("_pixmill-cli");
    for (const auto& [name, words] : options) {
        // bash: the compgen list of the option's case branch; zsh: the option's own line.
        const size_t branch = bash.find(name + ")");
        ASSERT_NE(branch, std::string::npos) << name << " has no branch in pixmill-cli.bash";
        const std::string bashLine =
            bash.substr(branch, bash.find('\n', bash.find("compgen", branch)) - branch);
        const size_t at = zsh.find(name + "=");
        ASSERT_NE(at, std::string::npos) << name << " takes no value in _pixmill-cli";
        const std::string zshLine = zsh.substr(at, zsh.find('\n', at) - at);
        const size_t section = man.find(name + " ");
        ASSERT_NE(section, std::string::npos) << name;
        const std::string manEntry = man.substr(section, man.find(".TP", section) - section);
        for (const std::string& word : words) {
            EXPECT_TRUE(std::regex_search(bashLine, std::regex("['| ]" + word + "[ ']")))
                << name << " " << word;
            EXPECT_TRUE(std::regex_search(zshLine, std::regex("[( ]" + word + "[ )]")))
                << name << " " << word;
            EXPECT_TRUE(contains(manEntry, word)) << name << " " << word << " is not in its man entry";
        }
    }
}

TEST(CliDocs, TheDesktopEntryOpensEveryImageTypeRead) {
    const std::string entry = readFileContents(PIXMILL_SOURCE_DIR "/app/pixmill.desktop");
    for (const char* type : {"image/jpeg;", "image/png;", "image/gif;", "image/bmp;"})
        EXPECT_TRUE(contains(entry, type)) << type;
}

}  // namespace
