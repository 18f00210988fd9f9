#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QJsonObject>
#include <QString>
#include <optional>
#include <vector>

#include "claude/ClaudeWebSessionError.h"

// What the application and its browser process say to each other over the browser's stdin and
// stdout: one compact JSON object per line. The application sends requests ("op"; those that
// are answered carry an "id"), the browser answers with the same "id" or tells of the user's
// doing in the login window ("event").
namespace qm::ClaudeBrowserProtocol {

inline constexpr const char* kFetch = "fetch";
inline constexpr const char* kShowLogin = "showLogin";
inline constexpr const char* kCloseLogin = "closeLogin";
inline constexpr const char* kLoginStatus = "loginStatus";
inline constexpr const char* kLoginDone = "loginDone";      // event: "Done" was pressed
inline constexpr const char* kLoginClosed = "loginClosed";  // event: the window was closed

QByteArray line(const QJsonObject& message);
// Nothing for a line that is not one JSON object.
std::optional<QJsonObject> read(const QByteArray& line);

// The longest line either side sends is a few kilobytes; one past this is not a message.
inline constexpr qsizetype kMaxLineBytes = 1 << 20;

// Cuts a stream into lines as it arrives. Each byte is looked at once, however a line is split
// over the reads. A line that grows past kMaxLineBytes breaks the stream: what was held of it
// is dropped, and nothing that arrives later is read.
class LineReader {
public:
    // The lines `bytes` completes, without their breaks.
    std::vector<QByteArray> add(QByteArrayView bytes);
    bool isBroken() const { return broken_; }

private:
    QByteArray partial_;  // the start of a line whose break has not come yet
    bool broken_ = false;
};

QJsonObject request(const char* op, qint64 id = 0);
QJsonObject fetchAnswer(qint64 id, const ClaudeUsageText& result);
// An answer whose members are missing or of the wrong type reads as a browser failure.
ClaudeUsageResult readFetchAnswer(const QJsonObject& answer);

// The line under the login page: what the application says about the sign-in.
struct LoginStatus {
    QString text;
    QString toolTip;
    bool bad = false;   // shown in the error colour
    bool busy = false;  // a check runs: "Done" waits

    QJsonObject toJson() const;
    static LoginStatus fromJson(const QJsonObject& message);
    bool operator==(const LoginStatus&) const = default;
};

}  // namespace qm::ClaudeBrowserProtocol
