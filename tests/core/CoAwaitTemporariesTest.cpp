// GCC 12 destroys some temporaries of a full expression that holds a co_await twice (a lambda
// turned into a std::function, a QString built in the call): the heap then breaks far from
// the cause. The house rule is to name every such object before the statement that awaits.
// This test reads every source file and fails on a co_await whose operand builds anything.
#include <gtest/gtest.h>

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

namespace {

// The source with comments and the insides of string and character literals blanked, so that
// neither hides nor fakes a co_await; a literal's quotes stay, so it still reads as a value.
QString code(const QString& text) {
    QString out = text;
    enum { plain, line, block, string, character } state = plain;
    for (qsizetype i = 0; i < out.size(); ++i) {
        const QChar c = out[i];
        const QChar next = i + 1 < out.size() ? out[i + 1] : QChar();
        switch (state) {
            case plain:
                if (c == '/' && next == '/')
                    state = line;
                else if (c == '/' && next == '*')
                    state = block;
                else if (c == '"')
                    state = string;
                else if (c == '\'' && !(i > 0 && out[i - 1].isDigit()))
                    state = character;
                if (state == line || state == block) out[i] = ' ';
                break;
            case line:
                if (c == '\n')
                    state = plain;
                else
                    out[i] = ' ';
                break;
            case block:
                if (c == '*' && next == '/') {
                    out[i] = out[i + 1] = ' ';
                    ++i;
                    state = plain;
                } else if (c != '\n') {
                    out[i] = ' ';
                }
                break;
            case string:
            case character:
                if (c == '\\') {
                    out[i] = out[i + 1] = ' ';
                    ++i;
                } else if (c == (state == string ? '"' : '\'')) {
                    state = plain;
                } else if (c != '\n') {
                    out[i] = ' ';
                }
                break;
        }
    }
    return out;
}

// The operand of the co_await at `from`: up to the first ';', ',' or unmatched closing bracket
// at its own depth.
QString operandAt(const QString& text, qsizetype from) {
    int depth = 0;
    qsizetype i = from;
    for (; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == '(' || c == '[' || c == '{')
            ++depth;
        else if ((c == ')' || c == ']' || c == '}') && depth-- == 0)
            break;
        else if ((c == ';' || c == ',') && depth == 0)
            break;
    }
    return text.mid(from, i - from).simplified();
}

// The arguments of the call at the end of `operand`, split at their own commas.
QStringList callArguments(const QString& operand) {
    const qsizetype open = operand.indexOf('(');
    if (open < 0 || !operand.endsWith(')')) return {};
    const QString inside = operand.mid(open + 1, operand.size() - open - 2);
    QStringList args;
    int depth = 0;
    QString current;
    for (const QChar c : inside) {
        if (c == '(' || c == '[' || c == '{') ++depth;
        if (c == ')' || c == ']' || c == '}') --depth;
        if (c == ',' && depth == 0) {
            args << current.trimmed();
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.trimmed().isEmpty()) args << current.trimmed();
    return args;
}

// A co_await may take a named object, or call a named function on named arguments: nothing in
// the statement is then built and destroyed around the suspension.
QString problemWith(const QString& operand) {
    static const QString name = QStringLiteral(R"([*&]?[A-Za-z_]\w*(?:(?:::|\.|->)[A-Za-z_]\w*)*)");
    static const QRegularExpression plainOperand(
        QStringLiteral(R"(^%1(?:\[\w+\])?(?:\(.*\))?$)").arg(name),
        QRegularExpression::DotMatchesEverythingOption);
    static const QRegularExpression plainArgument(
        QStringLiteral(R"(^(?:%1|std::move\(\w+\)|\d+|this|nullptr|true|false)$)").arg(name));
    if (!plainOperand.match(operand).hasMatch()) return QStringLiteral("an awaited temporary");
    // The first call's brackets must close at the end: `make(x).run(y)` awaits on a temporary.
    if (const qsizetype open = operand.indexOf('('); open >= 0) {
        int depth = 0;
        for (qsizetype i = open; i < operand.size(); ++i) {
            if (operand[i] == '(') ++depth;
            if (operand[i] == ')' && --depth == 0 && i != operand.size() - 1)
                return QStringLiteral("a chained call");
        }
    }
    for (const QString& arg : callArguments(operand)) {
        if (!plainArgument.match(arg).hasMatch()) return QStringLiteral("argument '%1'").arg(arg);
    }
    return {};
}

TEST(SourceRules, NoCoAwaitBuildsATemporary) {
    // The rule's own examples, so that a checker that stops looking fails here first.
    EXPECT_EQ(problemWith(QStringLiteral("update(compose)")), QString());
    EXPECT_EQ(problemWith(QStringLiteral("session.get(path, query, headers)")), QString());
    EXPECT_EQ(problemWith(QStringLiteral("connection->changed()")), QString());
    EXPECT_EQ(problemWith(QStringLiteral("*shot")), QString());
    EXPECT_EQ(problemWith(QStringLiteral("futures[i]")), QString());
    EXPECT_NE(problemWith(QStringLiteral("update([x](int) { return x; })")), QString());
    EXPECT_NE(problemWith(QStringLiteral("update({})")), QString());
    EXPECT_NE(problemWith(QStringLiteral("load(sitePage(path))")), QString());
    EXPECT_NE(problemWith(QStringLiteral("get(QStringLiteral(\"   \"), query)")), QString());
    EXPECT_NE(problemWith(QStringLiteral("qCoro(reply).waitForFinished(timeout)")), QString());

    QStringList findings;
    int seen = 0;
    QDirIterator files(QStringLiteral(QM_SOURCE_DIR "/src"), {"*.cpp", "*.h"}, QDir::Files,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        const QString text = code(QString::fromUtf8(file.readAll()));
        static const QRegularExpression keyword(QStringLiteral(R"(\bco_await\b)"));
        for (auto it = keyword.globalMatch(text); it.hasNext();) {
            const QRegularExpressionMatch match = it.next();
            ++seen;
            const QString operand = operandAt(text, match.capturedEnd());
            const QString problem = problemWith(operand);
            if (problem.isEmpty()) continue;
            const int lineNumber = int(text.left(match.capturedStart()).count('\n')) + 1;
            findings << QStringLiteral("%1:%2: co_await %3 builds %4; name it first")
                            .arg(path.mid(QStringLiteral(QM_SOURCE_DIR).size() + 1))
                            .arg(lineNumber)
                            .arg(operand, problem);
        }
    }
    EXPECT_GT(seen, 20) << "no co_await found: is QM_SOURCE_DIR right?";
    EXPECT_TRUE(findings.isEmpty()) << findings.join('\n').toStdString();
}

}  // namespace
