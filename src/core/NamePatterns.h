#pragma once

#include <string>
#include <string_view>
#include <vector>

// File names the folder watchers leave alone, given as one text of ";"-separated patterns.
// Each pattern is matched against the file's name, never its folders: "*" stands for any run
// of characters, "?" for one, and letters match in either case, as in the wildcard match the
// list was written for. The list also names extensions of temporary files (".tmp", ".$$$"),
// which a whole-name match could only find in a file named exactly so: a pattern without
// wildcards that begins with a dot matches the end of the name.
//
//     NamePatterns patterns(NamePatterns::kTemporaryFiles);
//     patterns.Matches("~$report.docx");  // true
class NamePatterns {
public:
    // Link files, the temporary files of editors and office programs, backup copies ("*~*")
    // and office lock files ("~$*").
    static constexpr const char* kTemporaryFiles =
        ".lnk;.$$$;.%%%;.@@@;.___;._mp;.tmp;.~mp;*~*;~$*";

    explicit NamePatterns(std::string_view text);

    bool Matches(std::string_view name) const;
    const std::vector<std::string>& Patterns() const { return m_patterns; }

private:
    static bool Wildcard(std::string_view pattern, std::string_view name);

    std::vector<std::string> m_patterns;
};
