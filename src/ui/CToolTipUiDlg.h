#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

#include "ui/TransferFigures.h"
#include "ui/WindowImplBase.h"

class QLabel;

// The tooltip window of the drop window: while transfers run, hovering the drop window shows
// the figures of both directions here. Created hidden as a child window of the drop window,
// frameless and on top; the drop window places, shows and hides it.
class CToolTipUiDlg : public WindowImplBase {
public:
    static constexpr QSize kCreatedSize{270, 207};
    static constexpr QSize kShownSize{275, 215};
    // How far below the pointer it opens.
    static constexpr int kBelowCursor = 43;
    // It never starts closer than this to the monitor's top.
    static constexpr int kTopMargin = 4;

    CToolTipUiDlg();
    ~CToolTipUiDlg() override;

    static ControlSpecs NamedControls();
    std::string GetWindowClassName() const override { return "ZorpToolTipUi"; }
    std::string GetSkinBaseName() const override { return "tooltip"; }
    ControlSpecs GetNamedControls() const override { return NamedControls(); }

    // Builds it from its skin, hidden, as a child window of `owner`.
    void Init(QWidget* owner);

    // The top-left corner for a pointer at `cursor` on `monitor`: at the pointer's x, 43 below
    // it; moved left by its width when it would leave the monitor on the right, up by its
    // height when it would leave at the bottom, and never above the monitor's top + 4.
    static QPoint Placement(const QPoint& cursor, const QRect& monitor);

    void ShowFigures(const TransferFigures& figures);
    // Shown at its place for the pointer, on top, without taking the focus.
    void ShowAt(const QPoint& cursor, const QRect& monitor);
    bool IsPointerOver() const;

private:
    QLabel* m_pUpText = nullptr;
    QLabel* m_pDownText = nullptr;
};
