// SPDX-License-Identifier: MIT
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

// Every "--long-option" a text names.
std::set<std::string> longOptionsIn(const std::string& text) {
    std::set<std::string> names;
    const std::regex option(R"(--[a-z][a-z-]*[a-z])");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), option); it != std::sregex_iterator(); ++it)
        names.insert(it->str());
    return names;
}

// The words a list such as "'none exif'" or "(none exif)" holds, sorted.
std::set<std::string> wordSet(const std::string& list) {
    std::set<std::string> words;
    std::istringstream in(list);
    for (std::string word; in >> word;) words.insert(word);
    return words;
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
    // Nor may they offer or document an option the program does not take.
    const std::pair<const char*, std::string> documents[] = {
        {"pixmill-cli.1", man}, {"pixmill-cli.bash", bash}, {"_pixmill-cli", zsh}};
    for (const auto& [file, text] : documents)
        for (const std::string& name : longOptionsIn(text))
            EXPECT_EQ(names.count(name), 1u) << name << " of " << file << " is not in --help";
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
        // Both completions offer exactly the words the program takes.
        const std::set<std::string> taken(words.begin(), words.end());
        std::smatch list;
        ASSERT_TRUE(std::regex_search(bashLine, list, std::regex("compgen -W '([^']*)'"))) << name;
        EXPECT_EQ(wordSet(list[1].str()), taken) << name << " in pixmill-cli.bash";
        ASSERT_TRUE(std::regex_search(zshLine, list, std::regex(R"(\]:[a-z]+:\(([^)]*)\))"))) << name;
        EXPECT_EQ(wordSet(list[1].str()), taken) << name << " in _pixmill-cli";
        for (const std::string& word : words)
            EXPECT_TRUE(contains(manEntry, word)) << name << " " << word << " is not in its man entry";
    }
}

// The bash completion as bash runs it on Tab (with the bash-completion library it is written for):
// an option's words, and for files only folders and the image types read, in any letter case. The
// user's shell options stay as they were.
TEST(CliDocs, BashCompletionOffersTheWordsAndTheImages) {
    const std::string library = "/usr/share/bash-completion/bash_completion";
    if (!FileExist(library)) GTEST_SKIP() << "bash-completion is not installed";
    TempDir work, capture;
    for (const char* name : {"a.JPG", "b.png", "c.txt", "d.jpeg", "e.Gif", "f.bmp", "g.tiff", "h h.jpg"})
        ASSERT_TRUE(writeBytes(work.file(name), ""));
    ASSERT_EQ(mkdir(work.file("sub").c_str(), 0700), 0);
    const std::string script = capture.file("tab.sh");
    // The library comes as $1.
    ASSERT_TRUE(writeBytes(
        script,
        "export LC_ALL=C\n"
        "source \"$1\"\n"
        "source " PIXMILL_SOURCE_DIR
        "/packaging/pixmill-cli.bash\n"
        "read -r -a registered <<< \"$(complete -p pixmill-cli)\"\n"
        "tab() {\n"
        "  COMP_WORDS=(pixmill-cli \"$@\"); COMP_CWORD=$#\n"
        "  COMP_LINE=\"${COMP_WORDS[*]}\"; COMP_POINT=${#COMP_LINE}; COMPREPLY=()\n"
        "  \"${registered[2]}\" pixmill-cli \"${COMP_WORDS[-1]}\" \"${COMP_WORDS[-2]}\" 2>/dev/null\n"
        "  printf '%s|' \"${COMPREPLY[@]}\" | tr '|' '\\n' | sort | tr '\\n' '|'; echo\n"
        "}\n"
        "shopt -u nocasematch nocaseglob\n"
        "tab --rotate ''\n"
        "tab --rotate=landscape\n"
        "tab --type ''\n"
        "tab ''\n"
        "tab -r s\n"
        "shopt -p nocasematch nocaseglob\n"
        "exit 0\n"));
    const CliResult result =
        finishProgram(startProgram({"bash", script, library}, capture.path(), work.path(), capture));
    ASSERT_EQ(result.status, 0) << result.out << result.err;
    EXPECT_EQ(result.out,
              "exif|landscape|landscapeccw|none|portrait|\n"
              "landscape|landscapeccw|\n"
              "avif|bmp|jpg|jxl|png|same|tif|webp|\n"
              "a.JPG|b.png|d.jpeg|e.Gif|f.bmp|h h.jpg|sub|\n"
              "sub|\n"
              "shopt -u nocasematch\nshopt -u nocaseglob\n");
}

TEST(CliDocs, TheDesktopEntryOpensEveryImageTypeRead) {
    const std::string entry = readFileContents(PIXMILL_SOURCE_DIR "/app/pixmill.desktop");
    for (const char* type : {"image/jpeg;", "image/png;", "image/gif;", "image/bmp;"})
        EXPECT_TRUE(contains(entry, type)) << type;
}

}  // namespace
