#include "app/MainWindow.h"

#include "app/ContentView.h"
#include "app/Icons.h"
#include "server/WindowRules.h"

#include <QCloseEvent>
#include <QVBoxLayout>

namespace quorvi {

MainWindow::MainWindow(ContentView* content, std::function<bool()> isTrayAvailable,
                       std::function<void()> quit, QWidget* parent)
    : QWidget(parent), content_(content), isTrayAvailable_(std::move(isTrayAvailable)),
      quit_(std::move(quit)) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Quorvi Mac"));
    setWindowIcon(brandIcon());
    setMinimumSize(kWindowMinimumWidth, kWindowMinimumHeight);
    // Kept when closed: the tray's "Ouvrir Quorvi Mac" shows this same
    // window again and never builds another one.
    setAttribute(Qt::WA_DeleteOnClose, false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    content_->setParent(this);
    layout->addWidget(content_);
}

void MainWindow::closeEvent(QCloseEvent* event) {
    event->accept();
    const bool canComeBack = isTrayAvailable_ && isTrayAvailable_();
    if (!canComeBack && quit_) {
        quit_();
    }
}

} // namespace quorvi
