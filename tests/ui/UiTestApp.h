#pragma once

#include <QApplication>

#include <filesystem>

#include "ui/QtMessageLoop.h"

namespace zorp::test {

// The QApplication and the Qt message loop of a window test process, made on first use on the
// offscreen platform (window tests never need a display).
QtMessageLoop& UiLoop();

// The skin folder beside the test programs (build/<preset>/bin/ui).
std::filesystem::path BuildSkinDir();

}  // namespace zorp::test
