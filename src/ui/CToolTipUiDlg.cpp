#include "ui/CToolTipUiDlg.h"

#include <QCursor>
#include <QLabel>

#include <algorithm>

using Kind = ControlSpec::Kind;

CToolTipUiDlg::CToolTipUiDlg() = default;

CToolTipUiDlg::~CToolTipUiDlg() = default;

ControlSpecs CToolTipUiDlg::NamedControls() {
    return {{"tipTitle", Kind::kLabel}, {"upTipText", Kind::kLabel}, {"dnTipText", Kind::kLabel}};
}

void CToolTipUiDlg::Init(QWidget* owner) {
    WindowImplBase::Style style;
    style.frameless = true;
    style.topmost = true;
    style.toolWindow = true;
    Create("tooltip", QRect(QPoint(0, 0), kCreatedSize), style);
    // A child window: it goes with its owner and has no task bar entry of its own.
    setParent(owner, windowFlags());
    setAttribute(Qt::WA_ShowWithoutActivating, true);
    setFocusPolicy(Qt::NoFocus);
    m_pUpText = FindControl<QLabel>("upTipText");
    m_pDownText = FindControl<QLabel>("dnTipText");
    for (const auto& spec : NamedControls()) {
        if (QWidget* control = FindControl(spec.name)) {
            control->setAccessibleName(QString::fromStdString(spec.name));
        }
    }
    setAccessibleName(QStringLiteral("transfers"));
}

QPoint CToolTipUiDlg::Placement(const QPoint& cursor, const QRect& monitor) {
    int x = cursor.x();
    int y = cursor.y() + kBelowCursor;
    if (x + kShownSize.width() > monitor.x() + monitor.width()) {
        x -= kShownSize.width();
    }
    if (y + kShownSize.height() > monitor.y() + monitor.height()) {
        y -= kShownSize.height();
    }
    return {x, std::max(y, monitor.y() + kTopMargin)};
}

void CToolTipUiDlg::ShowFigures(const TransferFigures& figures) {
    if (m_pUpText) {
        m_pUpText->setText(QString::fromStdString(TransferFigures::Text(figures.Uploads())));
    }
    if (m_pDownText) {
        m_pDownText->setText(QString::fromStdString(TransferFigures::Text(figures.Downloads())));
    }
}

void CToolTipUiDlg::ShowAt(const QPoint& cursor, const QRect& monitor) {
    setGeometry(QRect(Placement(cursor, monitor), kShownSize));
    ShowWindow(true, false);
    raise();
}

bool CToolTipUiDlg::IsPointerOver() const {
    return isVisible() && frameGeometry().contains(QCursor::pos());
}
