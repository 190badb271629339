#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The user-interface language: which of the three window languages (English, Simplified and
// Traditional Chinese) the user reads, the skin file each window loads for it, and the string
// table of the texts the program itself puts into windows.
//
// Languages are Windows language identifiers (1033 English, 2052 Simplified Chinese, 1028
// Traditional Chinese, ...): the skin names, the stored settings and the page all speak them.
// On Linux they come from the locale variables.
class CMultiLanguageMgr {
public:
    static constexpr uint16_t kEnglish = 1033;             // en-US
    static constexpr uint16_t kSimplifiedChinese = 2052;   // zh-CN
    static constexpr uint16_t kTraditionalChinese = 1028;  // zh-TW
    static constexpr uint16_t kSystemDefault = 0x0800;     // ends every candidate list
    static constexpr size_t kMaxCandidates = 10;

    static CMultiLanguageMgr& GetInstance();

    // Where the locale names come from. The user's choice is the first set variable of LC_ALL,
    // LC_MESSAGES and LANG (the order in which the C library itself honours them); the system's
    // is the LANG of the system-wide locale file. Empty means "not set".
    struct LocaleSources {
        std::string userLocale;
        std::string systemLocale;
    };
    static LocaleSources ReadLocaleSources();

    // Fills the candidate list and stores the UI language in the options. Run once at start-up.
    void DetectUILanguage();
    void DetectUILanguage(const LocaleSources& sources);

    // 0 until detection has run, or when no user locale is set (English is then used).
    uint16_t GetUILanguage() const { return m_uiLanguage; }
    const std::vector<uint16_t>& GetCandidates() const { return m_candidates; }

    // Maps a POSIX locale name ("zh_TW.UTF-8", "de_AT@euro", "pt_BR") to a language id:
    // zh_CN/zh_SG Simplified, zh_TW/zh_HK/zh_MO Traditional, the rest by language and region.
    // Empty input gives 0 (nothing to go by); anything unrecognised, "C" and "POSIX" included,
    // gives English.
    static uint16_t LocaleToLanguageId(std::string_view locale);

    // A language alone (no region) becomes its default region, as Windows completes it.
    static uint16_t NormaliseLanguageId(uint16_t languageId);

    // "_TC.xml" for the Traditional Chinese ids 1028, 3076, 4100 and 5124, ".xml" for 2052,
    // "_ENU.xml" for every other id.
    static const char* GetSkinSuffix(uint16_t languageId);
    static std::string GetSkinFileName(const std::string& baseName, uint16_t languageId);

    // Texts 103 to 157 of the string table. The language picks one of the three tables the
    // same way the skin suffix does, so a window's texts and its skin always agree; unknown
    // ids give an empty text.
    static std::string LoadString(uint32_t id, uint16_t languageId);
    // In the detected UI language.
    std::string LoadString(uint32_t id) const;

    // The 32 bytes (UTF-8) of the clipboard placeholder a paste leaves behind for a moment:
    // that it is a helper file of the cloud disk and may be deleted.
    static constexpr size_t kPlaceholderSize = 32;
    static std::string PlaceholderText(uint16_t languageId);
    static bool HasString(uint32_t id);

private:
    CMultiLanguageMgr() = default;
    // Adds one id to the candidate list by the list's rules.
    void AddCandidate(uint16_t languageId);

    uint16_t m_uiLanguage = 0;
    std::vector<uint16_t> m_candidates;
};
