#include "cli/CliContext.h"

#include <cstdio>
#include <string>
#include <termios.h>
#include <unistd.h>

CliContext::CliContext(QString programFolder)
    : m_programFolder(std::move(programFolder)), m_out(stdout), m_err(stderr) {}

namespace {
// One line of standard input without its line end; false at the end of the input.
bool readLine(std::string& line) {
    line.clear();
    int c = 0;
    bool any = false;
    while ((c = std::fgetc(stdin)) != EOF) {
        any = true;
        if (c == '\n')
            break;
        line.push_back(char(c));
    }
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return any;
}
} // namespace

bool CliContext::readSecret(const QString& what, QString& secret) {
    std::string line;
    bool read = false;
    if (::isatty(STDIN_FILENO)) {
        // Echo goes off before the prompt shows: a secret typed as soon as the prompt appears
        // is neither echoed nor flushed away.
        termios saved{};
        const bool quiet = ::tcgetattr(STDIN_FILENO, &saved) == 0;
        if (quiet) {
            termios silent = saved;
            silent.c_lflag &= ~tcflag_t(ECHO);
            silent.c_lflag |= ECHONL;
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
        }
        m_err << what << QStringLiteral(": ") << Qt::flush;
        read = readLine(line);
        if (quiet)
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    } else {
        read = readLine(line);
    }
    secret = QString::fromUtf8(line.data(), qsizetype(line.size()));
    std::fill(line.begin(), line.end(), '\0');
    return read;
}
