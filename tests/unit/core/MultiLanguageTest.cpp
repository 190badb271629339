#include "core/MultiLanguage.h"

#include <gtest/gtest.h>

#include <set>

#include "core/Logging.h"
#include "core/Options.h"

namespace {

using Mgr = CMultiLanguageMgr;

TEST(MultiLanguageTest, SkinSuffixFollowsTheLanguage) {
    EXPECT_EQ(Mgr::GetSkinFileName("dnd", 3076), "dnd_TC.xml");
    EXPECT_EQ(Mgr::GetSkinFileName("dnd", 1033), "dnd_ENU.xml");
    EXPECT_EQ(Mgr::GetSkinFileName("dnd", 2052), "dnd.xml");
    for (uint16_t traditional : {1028, 3076, 4100, 5124}) {
        EXPECT_STREQ(Mgr::GetSkinSuffix(traditional), "_TC.xml") << traditional;
    }
    // Chinese without a known region, other languages and "not detected" all read English.
    for (uint16_t other : {0, 4, 1031, 1041, 0x7C04, 0x0800}) {
        EXPECT_STREQ(Mgr::GetSkinSuffix(other), "_ENU.xml") << other;
    }
}

TEST(MultiLanguageTest, LocaleNamesMapToWindowsLanguageIds) {
    EXPECT_EQ(Mgr::LocaleToLanguageId("zh_CN.UTF-8"), 2052);
    EXPECT_EQ(Mgr::LocaleToLanguageId("zh_SG"), 2052);
    EXPECT_EQ(Mgr::LocaleToLanguageId("zh_TW.Big5"), 1028);
    EXPECT_EQ(Mgr::LocaleToLanguageId("zh_HK.UTF-8"), 1028);
    EXPECT_EQ(Mgr::LocaleToLanguageId("zh_MO"), 1028);
    EXPECT_EQ(Mgr::LocaleToLanguageId("zh_Hant_TW"), 1028);
    EXPECT_EQ(Mgr::LocaleToLanguageId("en_US.UTF-8"), 1033);
    EXPECT_EQ(Mgr::LocaleToLanguageId("en_GB"), 2057);
    EXPECT_EQ(Mgr::LocaleToLanguageId("de_AT@euro"), 3079);
    EXPECT_EQ(Mgr::LocaleToLanguageId("de_BE.UTF-8"), 1031);  // region unknown: the language's
    EXPECT_EQ(Mgr::LocaleToLanguageId("pt_BR"), 1046);
    EXPECT_EQ(Mgr::LocaleToLanguageId("ja_JP.eucJP"), 1041);
    // Nothing recognisable reads English; nothing at all is "no answer".
    EXPECT_EQ(Mgr::LocaleToLanguageId("C"), 1033);
    EXPECT_EQ(Mgr::LocaleToLanguageId("POSIX"), 1033);
    EXPECT_EQ(Mgr::LocaleToLanguageId("xx_YY"), 1033);
    EXPECT_EQ(Mgr::LocaleToLanguageId(""), 0);
}

TEST(MultiLanguageTest, DetectionStoresTheUserLanguageAndBuildsTheCandidateList) {
    logging::ScopedLogCapture log;
    Mgr& mgr = Mgr::GetInstance();
    mgr.DetectUILanguage({"zh_HK.UTF-8", "en_US.UTF-8"});
    EXPECT_EQ(mgr.GetUILanguage(), 1028);
    EXPECT_EQ(COptions::GetInstance().m_uiLanguage.load(), 1028);
    // Each id brings its primary language completed to the default region (Chinese -> 0x0404,
    // already present, so not repeated), and the list ends with the system default.
    EXPECT_EQ(mgr.GetCandidates(), (std::vector<uint16_t>{1028, 1033, 0x0800}));
    EXPECT_TRUE(log.Contains("CMultiLanguageMgr::DetectUILanguage() 1st/2nd = 0404"));
    EXPECT_TRUE(log.Contains("CMultiLanguageMgr::DetectUILanguage() 3rd/4th = 0409"));

    mgr.DetectUILanguage({"zh_CN.UTF-8", "de_AT.UTF-8"});
    EXPECT_EQ(mgr.GetCandidates(), (std::vector<uint16_t>{2052, 1028, 3079, 1031, 0x0800}));
    std::set<uint16_t> unique(mgr.GetCandidates().begin(), mgr.GetCandidates().end());
    EXPECT_EQ(unique.size(), mgr.GetCandidates().size());
}

TEST(MultiLanguageTest, WithoutUserLocaleTheLanguageStaysUnsetAndEnglishIsUsed) {
    Mgr& mgr = Mgr::GetInstance();
    mgr.DetectUILanguage({"", "zh_TW.UTF-8"});
    EXPECT_EQ(mgr.GetUILanguage(), 0);
    EXPECT_EQ(mgr.GetCandidates(), (std::vector<uint16_t>{1028, 0x0800}));
    EXPECT_EQ(mgr.LoadString(115), "Upload");
    EXPECT_EQ(Mgr::GetSkinFileName("mainui", mgr.GetUILanguage()), "mainui_ENU.xml");

    mgr.DetectUILanguage({"", ""});
    EXPECT_EQ(mgr.GetCandidates(), (std::vector<uint16_t>{0x0800}));
}

TEST(MultiLanguageTest, StringsInEachLanguage) {
    EXPECT_EQ(Mgr::LoadString(104, 1033), "Transmission Manager");
    EXPECT_EQ(Mgr::LoadString(150, 1033), "Client is crashed, please restart");
    EXPECT_EQ(Mgr::LoadString(141, 1033), "  File Left:");
    EXPECT_EQ(Mgr::LoadString(116, 1033), "Drag file, uplaod to Quorva");
    EXPECT_EQ(Mgr::LoadString(104, 2052), "传输管理器");
    EXPECT_EQ(Mgr::LoadString(104, 1028), "傳輸管理員");
    EXPECT_EQ(Mgr::LoadString(104, 3076), "傳輸管理員");
    EXPECT_EQ(Mgr::LoadString(150, 2052), "客户端已崩溃，请重新启动");
    // Any other language reads English.
    EXPECT_EQ(Mgr::LoadString(107, 1041), "Start");
    EXPECT_EQ(Mgr::LoadString(107, 0), "Start");
    // Outside the table.
    EXPECT_EQ(Mgr::LoadString(102, 1033), "");
    EXPECT_EQ(Mgr::LoadString(158, 2052), "");
}

TEST(MultiLanguageTest, EveryEntryExistsInAllThreeLanguages) {
    for (uint32_t id = 103; id <= 157; ++id) {
        std::string english = Mgr::LoadString(id, 1033);
        ASSERT_FALSE(english.empty()) << id;
        ASSERT_FALSE(Mgr::LoadString(id, 2052).empty()) << id;
        ASSERT_FALSE(Mgr::LoadString(id, 1028).empty()) << id;
        // Only the product name and the plain markers may read the same as in English.
        if (id != 103 && id != 109) {
            EXPECT_NE(Mgr::LoadString(id, 2052), english) << id;
            EXPECT_NE(Mgr::LoadString(id, 1028), english) << id;
        }
    }
}

}  // namespace

TEST(MultiLanguageTest, ThePlaceholderTextIsThirtyTwoBytesOfWholeCharactersInEachLanguage) {
    for (uint16_t language : {1033, 2052, 1028, 3076, 0}) {
        const std::string text = CMultiLanguageMgr::PlaceholderText(language);
        EXPECT_EQ(text.size(), CMultiLanguageMgr::kPlaceholderSize) << language;
        EXPECT_EQ(text.back(), '\n');
        // No character is cut: the last byte before the padding ends a UTF-8 sequence.
        const size_t end = text.find_last_not_of(" \n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_NE(static_cast<unsigned char>(text[end]) & 0xC0, 0xC0) << language;
        EXPECT_EQ(text.substr(0, 6), "Quorva");
    }
    EXPECT_NE(CMultiLanguageMgr::PlaceholderText(2052), CMultiLanguageMgr::PlaceholderText(1028));
}
