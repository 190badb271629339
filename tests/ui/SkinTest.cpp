#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>

#include <memory>
#include <string>

#include "UiTestApp.h"
#include "core/CommonUtils.h"
#include "core/MultiLanguage.h"
#include "ui/CAutoBackupUiDlg.h"
#include "ui/CMenuWnd.h"
#include "ui/CToolTipUiDlg.h"
#include "ui/DialogBuilder.h"
#include "ui/DndUiDlg.h"
#include "ui/MainUiDlg.h"
#include "ui/PaintManagerUI.h"

namespace {

using Kind = ControlSpec::Kind;

bool HasKind(QWidget* widget, Kind kind) {
    switch (kind) {
        case Kind::kLabel: return qobject_cast<QLabel*>(widget);
        case Kind::kButton:
        case Kind::kMenuItem: return qobject_cast<QPushButton*>(widget);
        case Kind::kOption: {
            auto* button = qobject_cast<QAbstractButton*>(widget);
            return button && button->isCheckable() && button->autoExclusive();
        }
        case Kind::kList: return qobject_cast<QListWidget*>(widget);
        case Kind::kTab: return qobject_cast<QStackedWidget*>(widget);
        case Kind::kEdit: return qobject_cast<QLineEdit*>(widget);
        case Kind::kProgress: return qobject_cast<QProgressBar*>(widget);
    }
    return false;
}

struct SkinCase {
    const char* base;
    ControlSpecs controls;
};

TEST(SkinTest, EveryLanguageSkinHoldsEveryNamedControlOfTheRightKind) {
    zorp::test::UiLoop();
    const SkinCase cases[] = {
        {"dnd", CDndUiDlg::NamedControls()},   {"mainui", CMainUiDlg::NamedControls()},
        {"menu", CMenuWnd::NamedControls()},   {"autobackup", CAutoBackupUiDlg::NamedControls()},
        {"tooltip", CToolTipUiDlg::NamedControls()},
    };
    for (const auto& skin : cases) {
        for (uint16_t language : {1033, 2052, 1028}) {
            std::string file = CMultiLanguageMgr::GetSkinFileName(skin.base, language);
            SCOPED_TRACE(file);
            std::string error;
            std::unique_ptr<QWidget> root(
                CDialogBuilder::Load(zorp::test::BuildSkinDir() / file, nullptr, &error));
            ASSERT_TRUE(root) << error;
            for (const auto& spec : skin.controls) {
                QWidget* control = root->findChild<QWidget*>(QString::fromStdString(spec.name));
                ASSERT_TRUE(control) << spec.name;
                EXPECT_TRUE(HasKind(control, spec.kind)) << spec.name;
                if (!spec.parent.empty()) {
                    auto* stack = root->findChild<QStackedWidget*>(QString::fromStdString(spec.parent));
                    ASSERT_TRUE(stack);
                    EXPECT_GE(stack->indexOf(control), 0) << spec.name << " is not a page";
                }
            }
        }
    }
}

// Screen readers name every control of the transfer manager: by its text, or by the accessible
// name the skin gives it where it has none (lists, pages, count labels).
TEST(SkinTest, EveryTransferManagerControlHasAnAccessibleName) {
    zorp::test::UiLoop();
    for (uint16_t language : {1033, 2052, 1028}) {
        std::string file = CMultiLanguageMgr::GetSkinFileName("mainui", language);
        SCOPED_TRACE(file);
        std::string error;
        std::unique_ptr<QWidget> root(
            CDialogBuilder::Load(zorp::test::BuildSkinDir() / file, nullptr, &error));
        ASSERT_TRUE(root) << error;
        for (const auto& spec : CMainUiDlg::NamedControls()) {
            QWidget* control = root->findChild<QWidget*>(QString::fromStdString(spec.name));
            ASSERT_TRUE(control) << spec.name;
            QString name = control->accessibleName();
            if (auto* button = qobject_cast<QAbstractButton*>(control); button && name.isEmpty()) {
                name = button->text();
            }
            EXPECT_FALSE(name.trimmed().isEmpty()) << spec.name;
            if (qobject_cast<QAbstractButton*>(control)) {
                EXPECT_TRUE(control->focusPolicy() & Qt::TabFocus) << spec.name << " not reachable with Tab";
            }
        }
    }
}

TEST(SkinTest, TabPagesAreInTheOrderUploadsDownloadsHistory) {
    zorp::test::UiLoop();
    std::string error;
    std::unique_ptr<QWidget> root(
        CDialogBuilder::Load(zorp::test::BuildSkinDir() / "mainui_ENU.xml", nullptr, &error));
    ASSERT_TRUE(root) << error;
    auto* tab = root->findChild<QStackedWidget*>("tab_main");
    ASSERT_TRUE(tab);
    ASSERT_EQ(tab->count(), 3);
    EXPECT_EQ(tab->widget(0)->objectName(), "upld_list_tab");
    EXPECT_EQ(tab->widget(1)->objectName(), "dnld_list_tab");
    EXPECT_EQ(tab->widget(2)->objectName(), "hist_list_tab");
}

TEST(SkinTest, SkinsSpeakTheirLanguage) {
    zorp::test::UiLoop();
    auto textOf = [](const std::string& file, const char* control) {
        std::string error;
        std::unique_ptr<QWidget> root(
            CDialogBuilder::Load(zorp::test::BuildSkinDir() / file, nullptr, &error));
        auto* label = root ? root->findChild<QLabel*>(control) : nullptr;
        return label ? label->text().toStdString() : std::string("<missing>");
    };
    EXPECT_EQ(textOf("dnd_ENU.xml", "txtLabel"), CMultiLanguageMgr::LoadString(115, 1033));
    EXPECT_EQ(textOf("dnd.xml", "txtLabel"), CMultiLanguageMgr::LoadString(115, 2052));
    EXPECT_EQ(textOf("dnd_TC.xml", "txtLabel"), CMultiLanguageMgr::LoadString(115, 1028));
}

// Every image name the windows use: the file icons of every type in both sizes, and the
// transfer, button and progress images.
TEST(SkinTest, EveryImageTheWindowsUseExistsAndLoads) {
    zorp::test::UiLoop();
    std::vector<std::pair<std::string, int>> images;
    for (const char* name : {"a.txt", "a.doc", "a.wps", "a.xls", "a.et", "a.ppt", "a.dps", "a.pdf",
                             "a.rar", "a.zip", "a.7z", "a.csv", "a.jpg", "a.png", "a.grid", "a.mp3",
                             "a.avi", "a.vcf", "noextension", "a.unknown"}) {
        images.emplace_back(CommonUtils::GetFileIconName(name, true), 50);
        images.emplace_back(CommonUtils::GetFileIconName(name, false), 16);
    }
    images.emplace_back("cdSmall_4.png", 16);
    for (const char* name : {"tx_upload.png", "tx_download.png", "pause_n.png", "play_n.png",
                             "play_g.png", "btn_start.png", "btn_pause.png", "btn_play.png",
                             "btn_del.png"}) {
        images.emplace_back(name, 16);
    }
    images.emplace_back("progress_bg.png", 0);
    images.emplace_back("progress_in.png", 0);
    images.emplace_back("logo.png", 0);
    for (const auto& [name, size] : images) {
        QPixmap pixmap(QString::fromStdString((zorp::test::BuildSkinDir() / name).string()));
        ASSERT_FALSE(pixmap.isNull()) << name;
        if (size) {
            EXPECT_EQ(pixmap.size(), QSize(size, size)) << name;
        }
    }
}

}  // namespace
