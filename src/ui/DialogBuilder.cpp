#include "ui/DialogBuilder.h"

#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QUiLoader>
#include <QVBoxLayout>

#include <map>

#include "core/Logging.h"
#include "ui/PaintManagerUI.h"
#include "ui/SkinImage.h"

namespace fs = std::filesystem;

CDialogBuilder::Result CDialogBuilder::Create(const std::string& skinFile,
                                              const ControlSpecs& controls, QWidget* parent) {
    Result result;
    result.path = CPaintManagerUI::FindResourceFile(skinFile);
    if (result.path.empty()) {
        result.error = "not found in the skin folders";
    } else {
        result.root = Load(result.path, parent, &result.error);
    }
    if (!result.root) {
        LOG(ERROR) << "Skin \"" << skinFile << "\" cannot be used (" << result.error
                   << "); the window uses its plain fallback layout";
        result.fallback = true;
        result.root = BuildFallback(controls, parent);
        return result;
    }
    for (const auto& name : MissingControls(result.root, controls)) {
        LOG(ERROR) << "Skin " << result.path << " lacks the control \"" << name << "\"";
    }
    VLOG(1) << "CDialogBuilder::Create - " << skinFile << " from " << result.path.string();
    SkinImage::ApplyProperties(result.root);
    return result;
}

QWidget* CDialogBuilder::Load(const fs::path& path, QWidget* parent, std::string* error) {
    QFile file(QString::fromStdString(path.string()));
    if (!file.open(QIODevice::ReadOnly)) {
        *error = file.errorString().toStdString();
        return nullptr;
    }
    QUiLoader loader;
    loader.setWorkingDirectory(QDir(QString::fromStdString(path.parent_path().string())));
    QWidget* root = loader.load(&file, parent);
    if (!root) {
        *error = loader.errorString().toStdString();
        if (error->empty()) {
            *error = "not a readable layout";
        }
    }
    return root;
}

QWidget* CDialogBuilder::BuildFallback(const ControlSpecs& controls, QWidget* parent) {
    auto* root = new QWidget(parent);
    auto* layout = new QVBoxLayout(root);
    layout->setContentsMargins(4, 4, 4, 4);
    layout->setSpacing(2);
    std::map<std::string, QWidget*> made;
    for (const auto& spec : controls) {
        QWidget* widget = nullptr;
        const QString name = QString::fromStdString(spec.name);
        switch (spec.kind) {
            case ControlSpec::Kind::kLabel: widget = new QLabel(); break;
            case ControlSpec::Kind::kButton:
            case ControlSpec::Kind::kMenuItem: widget = new QPushButton(name); break;
            case ControlSpec::Kind::kOption: {
                auto* option = new QPushButton(name);
                option->setCheckable(true);
                option->setAutoExclusive(true);
                widget = option;
                break;
            }
            case ControlSpec::Kind::kList: widget = new QListWidget(); break;
            case ControlSpec::Kind::kTab: widget = new QStackedWidget(); break;
            case ControlSpec::Kind::kEdit: widget = new QLineEdit(); break;
            case ControlSpec::Kind::kProgress: widget = new QProgressBar(); break;
        }
        widget->setObjectName(name);
        auto parentIt = made.find(spec.parent);
        auto* stack = parentIt != made.end() ? qobject_cast<QStackedWidget*>(parentIt->second)
                                             : nullptr;
        if (stack) {
            stack->addWidget(widget);
        } else {
            layout->addWidget(widget);
        }
        made[spec.name] = widget;
    }
    return root;
}

std::vector<std::string> CDialogBuilder::MissingControls(QWidget* root,
                                                         const ControlSpecs& controls) {
    std::vector<std::string> missing;
    for (const auto& spec : controls) {
        if (!root || !root->findChild<QWidget*>(QString::fromStdString(spec.name))) {
            missing.push_back(spec.name);
        }
    }
    return missing;
}
