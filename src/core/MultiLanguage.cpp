#include "core/MultiLanguage.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <fstream>

#include "core/Logging.h"
#include "core/Options.h"

namespace {

// One row per string id: English, Simplified Chinese, Traditional Chinese.
struct StringRow {
    uint32_t id;
    const char* english;
    const char* simplified;
    const char* traditional;
};

constexpr uint32_t kFirstStringId = 103;
constexpr uint32_t kLastStringId = 157;

// The English texts are the program's own wording, kept as users and the page know them.
constexpr StringRow kStrings[] = {
    {103, "zorp", "zorp", "zorp"},
    {104, "Transmission Manager", "传输管理器", "傳輸管理員"},
    {105, "Ready", "就绪", "就緒"},
    {106, "Network error", "网络错误", "網路錯誤"},
    {107, "Start", "开始", "開始"},
    {108, "Pause", "暂停", "暫停"},
    {109, "ZORP", "ZORP", "ZORP"},
    {110, "Destroy", "已取消", "已取消"},
    {111, "Transferring", "传输中", "傳輸中"},
    {112, "Destroying", "正在取消", "正在取消"},
    {113, "  Retrying failed items", "  正在重试失败的项目", "  正在重試失敗的項目"},
    {114, "Hide window", "隐藏窗口", "隱藏視窗"},
    {115, "Upload", "上传", "上傳"},
    {116, "Drag file, uplaod to Quorva", "拖动文件到这里，上传到 Quorva",
     "拖曳檔案到這裡，上傳到 Quorva"},
    {117, "AutoBackupConfiguration", "自动备份设置", "自動備份設定"},
    {118, "Pausing", "正在暂停", "正在暫停"},
    {119, "Please choose folders to backup", "请选择要备份的文件夹", "請選擇要備份的資料夾"},
    {120, "OK", "确定", "確定"},
    {121, "NOTE", "提示", "提示"},
    {122, "Loose then upload", "松开即可上传", "放開即可上傳"},
    {123, "Transmission Error", "传输错误", "傳輸錯誤"},
    {124, "Upload Initialization fail", "上传初始化失败", "上傳初始化失敗"},
    {125, "Can't get file info", "无法获取文件信息", "無法取得檔案資訊"},
    {126, "Waiting", "等待中", "等待中"},
    {127, "Upload failed", "上传失败", "上傳失敗"},
    {128, "Download failed", "下载失败", "下載失敗"},
    {129, "Can't open file", "无法打开文件", "無法開啟檔案"},
    {130, "No Capacity", "空间不足", "空間不足"},
    {131, "File size is beyond limit", "文件大小超出限制", "檔案大小超出限制"},
    {132, "File is read only", "文件为只读", "檔案為唯讀"},
    {133, "File is locked", "文件已被锁定", "檔案已被鎖定"},
    {134, "Disk is full", "磁盘已满", "磁碟已滿"},
    {135, "File not exists", "文件不存在", "檔案不存在"},
    {136, "Transmission Error", "传输错误", "傳輸錯誤"},
    {137, "Open", "打开", "開啟"},
    {138, "Folder", "文件夹", "資料夾"},
    {139, "Retry", "重试", "重試"},
    {140, "Completed", "已完成", "已完成"},
    {141, "  File Left:", "  剩余文件：", "  剩餘檔案："},
    {142, "  Failed Files:", "  失败文件：", "  失敗檔案："},
    {143, "Time Left:", "剩余时间：", "剩餘時間："},
    {144, "H", "时", "時"},
    {145, "M", "分", "分"},
    {146, "S", "秒", "秒"},
    {147, "Cancel", "取消", "取消"},
    {148, "Time: ", "时间：", "時間："},
    {149, "Date: ", "日期：", "日期："},
    {150, "Client is crashed, please restart", "客户端已崩溃，请重新启动",
     "用戶端已當機，請重新啟動"},
    {151, "Offline", "离线", "離線"},
    {152, "Load", "加载", "載入"},
    {153, "Pause", "暂停", "暫停"},
    {154, "(Auto Saved)", "（自动保存）", "（自動儲存）"},
    {155, "Completed", "秒传完成", "秒傳完成"},
    {156, "Quorva don't support paste in this fold.", "Quorva 不支持粘贴到这个文件夹。",
     "Quorva 不支援貼上到這個資料夾。"},
    {157, "Cancel", "取消", "取消"},
};
static_assert(std::size(kStrings) == kLastStringId - kFirstStringId + 1);
// Lookups index the table directly, so every row must sit at its own id.
static_assert([] {
    for (size_t i = 0; i < std::size(kStrings); ++i) {
        if (kStrings[i].id != kFirstStringId + i) {
            return false;
        }
    }
    return true;
}());

enum class Table { kEnglish, kSimplified, kTraditional };

bool IsTraditionalChineseId(uint16_t id) {
    return id == 1028 || id == 3076 || id == 4100 || id == 5124;
}

Table TableFor(uint16_t languageId) {
    if (IsTraditionalChineseId(languageId)) {
        return Table::kTraditional;
    }
    if (languageId == CMultiLanguageMgr::kSimplifiedChinese) {
        return Table::kSimplified;
    }
    return Table::kEnglish;
}

// Windows ids of language and region. An empty region is the language's own default, used
// when the locale's region is missing or not listed.
struct LocaleRow {
    const char* language;
    const char* region;
    uint16_t id;
};

constexpr LocaleRow kLocales[] = {
    {"zh", "", 2052}, {"zh", "CN", 2052}, {"zh", "SG", 2052},
    {"zh", "TW", 1028}, {"zh", "HK", 1028}, {"zh", "MO", 1028},
    {"en", "", 1033}, {"en", "US", 1033}, {"en", "GB", 2057}, {"en", "AU", 3081},
    {"en", "CA", 4105}, {"en", "NZ", 5129}, {"en", "IE", 6153}, {"en", "ZA", 7177},
    {"en", "IN", 16393}, {"en", "SG", 18441},
    {"ar", "", 1025}, {"bg", "", 1026}, {"ca", "", 1027}, {"cs", "", 1029}, {"da", "", 1030},
    {"de", "", 1031}, {"de", "CH", 2055}, {"de", "AT", 3079}, {"de", "LU", 4103},
    {"el", "", 1032},
    {"es", "", 3082}, {"es", "MX", 2058}, {"es", "AR", 11274}, {"es", "CO", 9226},
    {"es", "CL", 13322}, {"es", "US", 21514},
    {"fi", "", 1035},
    {"fr", "", 1036}, {"fr", "BE", 2060}, {"fr", "CA", 3084}, {"fr", "CH", 4108},
    {"fr", "LU", 5132},
    {"he", "", 1037}, {"hu", "", 1038}, {"is", "", 1039}, {"it", "", 1040}, {"it", "CH", 2064},
    {"ja", "", 1041}, {"ko", "", 1042}, {"nl", "", 1043}, {"nl", "BE", 2067},
    {"nb", "", 1044}, {"no", "", 1044}, {"nn", "", 2068}, {"pl", "", 1045},
    {"pt", "", 2070}, {"pt", "BR", 1046},
    {"ro", "", 1048}, {"ru", "", 1049}, {"hr", "", 1050}, {"sk", "", 1051}, {"sq", "", 1052},
    {"sv", "", 1053}, {"sv", "FI", 2077}, {"th", "", 1054}, {"tr", "", 1055}, {"ur", "", 1056},
    {"id", "", 1057}, {"uk", "", 1058}, {"be", "", 1059}, {"sl", "", 1060}, {"et", "", 1061},
    {"lv", "", 1062}, {"lt", "", 1063}, {"fa", "", 1065}, {"vi", "", 1066}, {"hy", "", 1067},
    {"eu", "", 1069}, {"mk", "", 1071}, {"af", "", 1078}, {"ka", "", 1079}, {"hi", "", 1081},
    {"ms", "", 1086}, {"kk", "", 1087}, {"sw", "", 1089}, {"bn", "", 1093}, {"ta", "", 1097},
    {"gl", "", 1110}, {"sr", "", 9242},
};

std::string ReadSystemLocale() {
    // systemd keeps the system's locale in /etc/locale.conf, Debian also in /etc/default/locale.
    for (const char* file : {"/etc/locale.conf", "/etc/default/locale"}) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind("LANG=", 0) != 0) {
                continue;
            }
            std::string value = line.substr(5);
            value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
            value.erase(std::remove(value.begin(), value.end(), '\''), value.end());
            if (!value.empty()) {
                return value;
            }
        }
    }
    return {};
}

}  // namespace

CMultiLanguageMgr& CMultiLanguageMgr::GetInstance() {
    static CMultiLanguageMgr* instance = new CMultiLanguageMgr();  // lives until process exit
    return *instance;
}

CMultiLanguageMgr::LocaleSources CMultiLanguageMgr::ReadLocaleSources() {
    LocaleSources sources;
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            sources.userLocale = value;
            break;
        }
    }
    sources.systemLocale = ReadSystemLocale();
    return sources;
}

void CMultiLanguageMgr::DetectUILanguage() { DetectUILanguage(ReadLocaleSources()); }

void CMultiLanguageMgr::DetectUILanguage(const LocaleSources& sources) {
    m_candidates.clear();
    m_uiLanguage = 0;
    if (!sources.userLocale.empty()) {
        // The user's own choice is the language of the windows.
        uint16_t user = LocaleToLanguageId(sources.userLocale);
        m_uiLanguage = user;
        COptions::GetInstance().m_uiLanguage = user;
        AddCandidate(user);
        VLOGF(1, "CMultiLanguageMgr::DetectUILanguage() 1st/2nd = %04X\n", user);
        if (!sources.systemLocale.empty()) {
            uint16_t system = LocaleToLanguageId(sources.systemLocale);
            AddCandidate(system);
            VLOGF(1, "CMultiLanguageMgr::DetectUILanguage() 3rd/4th = %04X\n", system);
        }
    } else if (!sources.systemLocale.empty()) {
        // Without a user choice the system's language is a candidate only; the UI language
        // stays 0, which picks the English skins and texts.
        uint16_t system = LocaleToLanguageId(sources.systemLocale);
        AddCandidate(system);
        VLOGF(1, "CMultiLanguageMgr::DetectUILanguage() NT1st/2nd = %04X\n", system);
    }
    if (m_candidates.size() >= kMaxCandidates) {
        m_candidates.back() = kSystemDefault;
    } else {
        m_candidates.push_back(kSystemDefault);
    }
}

void CMultiLanguageMgr::AddCandidate(uint16_t languageId) {
    auto contains = [this](uint16_t id) {
        return std::find(m_candidates.begin(), m_candidates.end(), id) != m_candidates.end();
    };
    if (contains(languageId) || m_candidates.size() >= kMaxCandidates) {
        return;
    }
    m_candidates.push_back(NormaliseLanguageId(languageId));
    uint16_t primary = NormaliseLanguageId(languageId & 0x3FF);
    if (m_candidates.size() < kMaxCandidates && !contains(primary)) {
        m_candidates.push_back(primary);
    }
}

uint16_t CMultiLanguageMgr::NormaliseLanguageId(uint16_t languageId) {
    const uint16_t primary = languageId & 0x3FF;
    const uint16_t sub = languageId >> 10;
    if (sub == 0 && primary != 0) {
        return static_cast<uint16_t>(primary | (1u << 10));  // SUBLANG_DEFAULT
    }
    return languageId;
}

uint16_t CMultiLanguageMgr::LocaleToLanguageId(std::string_view locale) {
    if (locale.empty()) {
        return 0;
    }
    // language[_territory][.codeset][@modifier]
    locale = locale.substr(0, locale.find_first_of(".@"));
    std::string language(locale.substr(0, locale.find_first_of("_-")));
    std::string region;
    if (auto sep = locale.find_first_of("_-"); sep != std::string_view::npos) {
        region = std::string(locale.substr(sep + 1));
    }
    std::transform(language.begin(), language.end(), language.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    std::transform(region.begin(), region.end(), region.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    // A script instead of a region ("zh_Hant", "zh_Hans_CN") decides the Chinese variant.
    if (language == "zh" && region.rfind("HANT", 0) == 0) {
        return kTraditionalChinese;
    }
    if (language == "zh" && region.rfind("HANS", 0) == 0) {
        return kSimplifiedChinese;
    }
    uint16_t languageDefault = 0;
    for (const auto& row : kLocales) {
        if (language != row.language) {
            continue;
        }
        if (region == row.region) {
            return row.id;
        }
        if (*row.region == '\0') {
            languageDefault = row.id;
        }
    }
    return languageDefault ? languageDefault : kEnglish;
}

const char* CMultiLanguageMgr::GetSkinSuffix(uint16_t languageId) {
    switch (TableFor(languageId)) {
        case Table::kTraditional: return "_TC.xml";
        case Table::kSimplified: return ".xml";
        default: return "_ENU.xml";
    }
}

std::string CMultiLanguageMgr::GetSkinFileName(const std::string& baseName, uint16_t languageId) {
    return baseName + GetSkinSuffix(languageId);
}

bool CMultiLanguageMgr::HasString(uint32_t id) {
    return id >= kFirstStringId && id <= kLastStringId;
}

std::string CMultiLanguageMgr::LoadString(uint32_t id, uint16_t languageId) {
    if (!HasString(id)) {
        return {};
    }
    const StringRow& row = kStrings[id - kFirstStringId];
    switch (TableFor(languageId)) {
        case Table::kTraditional: return row.traditional;
        case Table::kSimplified: return row.simplified;
        default: return row.english;
    }
}

std::string CMultiLanguageMgr::LoadString(uint32_t id) const {
    return LoadString(id, m_uiLanguage);
}

std::string CMultiLanguageMgr::PlaceholderText(uint16_t languageId) {
    std::string text;
    switch (TableFor(languageId)) {
        case Table::kTraditional: text = "Quorva輔助檔案,可刪除"; break;
        case Table::kSimplified: text = "Quorva辅助文件,可删除"; break;
        default: text = "Quorva helper file, can delete."; break;
    }
    // Spaces up to the size, and a line end.
    text.resize(kPlaceholderSize - 1, ' ');
    return text + "\n";
}
