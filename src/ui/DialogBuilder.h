#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "ui/ControlSpec.h"

class QWidget;

// Builds a window's control tree from its skin file (Qt Designer XML under the skin names),
// found in the skin folders. A skin that is missing or cannot be read gives one error line and
// a plain layout of the window's named controls instead, so the window still works.
class CDialogBuilder {
public:
    struct Result {
        QWidget* root = nullptr;       // owned by the parent given to Create
        bool fallback = false;         // the skin could not be used
        std::filesystem::path path;    // the skin file read, empty when none was found
        std::string error;             // why the fallback was built
    };

    static Result Create(const std::string& skinFile, const ControlSpecs& controls, QWidget* parent);

    // Reads one skin file; null (and `error` set) when it cannot be used.
    static QWidget* Load(const std::filesystem::path& path, QWidget* parent, std::string* error);
    static QWidget* BuildFallback(const ControlSpecs& controls, QWidget* parent);

    // Names of `controls` that `root` does not hold.
    static std::vector<std::string> MissingControls(QWidget* root, const ControlSpecs& controls);
};
