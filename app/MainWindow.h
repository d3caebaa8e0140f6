#pragma once

#include <QWidget>
#include <functional>

namespace quorvi {

class ContentView;

// The application's one main window: title "Quorvi Mac", the brand icon,
// a content minimum of 820 × 600 points, and the content view filling it.
// Closing it only hides it while the tray can bring it back; where the
// desktop has no tray, closing quits, so the user is never left with a
// server running and no way back to it.
//
// Thread: main.
class MainWindow final : public QWidget {
    Q_OBJECT
public:
    // isTrayAvailable is asked at each close: a tray host may come or go.
    MainWindow(ContentView* content, std::function<bool()> isTrayAvailable,
               std::function<void()> quit, QWidget* parent = nullptr);

    ContentView* content() const { return content_; }

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    ContentView* content_;
    std::function<bool()> isTrayAvailable_;
    std::function<void()> quit_;
};

} // namespace quorvi
