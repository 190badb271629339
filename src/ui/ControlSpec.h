#pragma once

#include <string>
#include <utility>
#include <vector>

// A control that a window's code looks up by name. Each window lists its own; the list builds
// the fallback layout when a skin cannot be loaded, and the tests check every skin against it.
struct ControlSpec {
    enum class Kind {
        kLabel,     // QLabel: texts and images
        kButton,    // QPushButton: "click"
        kOption,    // checkable, mutually exclusive QPushButton: "selectchanged"
        kList,      // QListWidget
        kTab,       // QStackedWidget: pages selected by index
        kEdit,      // QLineEdit
        kProgress,  // QProgressBar
        kMenuItem,  // QPushButton in a menu skin
    };
    ControlSpec(std::string controlName, Kind controlKind, std::string parentName = {})
        : name(std::move(controlName)), kind(controlKind), parent(std::move(parentName)) {}

    std::string name;
    Kind kind = Kind::kLabel;
    // The control whose page or child this one is (a list inside "tab_main"), empty for the root.
    std::string parent;
};

using ControlSpecs = std::vector<ControlSpec>;
