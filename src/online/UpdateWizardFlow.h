#pragma once

#include <QString>

class WebUpdate;

// The update wizard's pages and the way from one to the next, without a window: the wizard
// window shows the current page's texts and calls advance() by itself after a short pause, so it
// runs through the check and the download on its own up to the restart page.
class UpdateWizardFlow {
public:
    enum class Page {
        Welcome,      // before the check
        NewVersion,   // a newer version was found
        NoNewVersion, // the server offers nothing newer
        NoConnection, // no control file could be read
        Downloading,  // the files come
        Failed,       // the download failed, nothing was replaced
        Complete,     // all files installed
        Restart,      // the last page: confirm to end the program
        Closed,
    };

    struct Texts {
        QString heading;
        QString body;
        QString button; // the page's forward button; empty: none
        bool autoAdvance = false;
    };

    explicit UpdateWizardFlow(WebUpdate& update) : m_update(update) {}

    Page page() const { return m_page; }
    Texts texts() const;
    // The work that leads off the current page, then the next page: the check on the welcome
    // page, the download on the download page. Blocks while the server is asked.
    void advance();
    // Also while advance() waits for the server: the flow ends as soon as that work returns.
    void cancel() {
        m_cancelled = true;
        m_page = Page::Closed;
    }
    bool finished() const { return m_page == Page::Closed; }

private:
    void step();

    WebUpdate& m_update;
    Page m_page = Page::Welcome;
    bool m_noFiles = false;
    bool m_cancelled = false;
};
