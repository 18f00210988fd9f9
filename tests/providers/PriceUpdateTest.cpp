#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include "providers/PriceUpdateStore.h"
#include "support/FakeProviderServer.h"
#include "support/TempDir.h"

using namespace qm;
using test::FakeProviderResponse;
using test::FakeProviderServer;
using test::TempDir;

namespace {

// The bundled list with Opus's input at `perToken` and Gemini 2.5 Pro routed through "gemini/",
// as the community list names some models; and a Bedrock row that is not kept.
QByteArray listWithOpusAt(const char* perToken) {
    QFile file(":/prices/model-prices.json");
    if (!file.open(QIODevice::ReadOnly)) return {};
    QJsonObject list = QJsonDocument::fromJson(file.readAll()).object();
    QJsonObject opus = list["claude-opus-4-5"].toObject();
    opus["input_cost_per_token"] = QString::fromLatin1(perToken).toDouble();
    list["claude-opus-4-5"] = opus;
    list["gemini/gemini-2.5-pro"] = QJsonObject{{"litellm_provider", "gemini"},
                                                {"input_cost_per_token", 1e-06},
                                                {"output_cost_per_token", 8e-06},
                                                {"input_cost_per_token_above_200k_tokens", 2e-06}};
    list["bedrock/claude-opus-4-5"] =
        QJsonObject{{"litellm_provider", "bedrock"}, {"input_cost_per_token", 1}};
    return QJsonDocument(list).toJson();
}

QByteArray updateList() {
    return listWithOpusAt("4e-06");
}

// The number of models the bundled list prices, which an update of the same models keeps.
int bundledModels() {
    return int(PriceBook::maintainedList(QStringLiteral("/nonexistent")).rows().size());
}

// An HTTP server on 127.0.0.1 whose answer never ends: a 200 without a length, then JSON text
// for as long as the client takes it.
class EndlessServer {
public:
    bool listen() {
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) serve(socket);
        });
        return server_.listen(QHostAddress::LocalHost);
    }
    QString url() const {
        return QStringLiteral("http://127.0.0.1:%1/prices.json").arg(server_.serverPort());
    }
    qint64 sent() const { return sent_; }

private:
    void serve(QTcpSocket* socket) {
        socket->write(
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
            "Connection: close\r\n\r\n{\"claude-opus-4-5\": \"");
        const QByteArray chunk(64 * 1024, 'x');
        const auto more = [this, socket, chunk] {
            if (socket->state() != QAbstractSocket::ConnectedState) return;
            if (socket->bytesToWrite() < chunk.size()) sent_ += socket->write(chunk);
        };
        QObject::connect(socket, &QTcpSocket::bytesWritten, socket, more);
        more();
    }

    QTcpServer server_;
    qint64 sent_ = 0;
};

class PriceUpdateTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The store keeps its choices in the settings: a private folder, not the user's.
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, config.path());
        QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter")).clear();
        ASSERT_TRUE(server.listen());
    }
    void TearDown() override { PriceBook::setCurrent(PriceBook::bundled()); }
    QString url(const QString& path) const { return server.baseUrl() + path; }
    QString updatedPath() const { return QDir(data.path()).filePath("prices.json"); }
    double opusInput() const {
        return PriceBook::find(PriceProvider::anthropic, "claude-opus-4-5")->input;
    }

    TempDir config;
    TempDir data;
    FakeProviderServer server;
};

}  // namespace

TEST_F(PriceUpdateTest, FromALocalServerAndFromAFile) {
    server.route("/prices.json", FakeProviderResponse::json(200, updateList()));
    auto result = QCoro::waitFor(updatePrices(url("/prices.json"), data.path()));
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(result.rows, bundledModels());
    const auto pro = PriceBook::find(PriceProvider::gemini, "gemini-2.5-pro");
    ASSERT_TRUE(pro);  // found under the id the Gemini logs use, without "gemini/"
    EXPECT_EQ(pro->input, 1);
    EXPECT_EQ(pro->above200k->input, 2);
    EXPECT_TRUE(pro->source.startsWith("updated ")) << pro->source.toStdString();
    EXPECT_EQ(opusInput(), 4);

    const QString file = data.write("list.json", listWithOpusAt("3e-06"));
    result = QCoro::waitFor(updatePrices(file, data.path()));
    ASSERT_TRUE(result.ok) << result.error.toStdString();
    EXPECT_EQ(opusInput(), 3);
}

TEST_F(PriceUpdateTest, AFailedFetchChangesNothing) {
    ASSERT_TRUE(
        QCoro::waitFor(updatePrices(data.write("list.json", updateList()), data.path())).ok);
    const QByteArray kept = test::readAll(updatedPath());
    server.route("/missing.json", FakeProviderResponse::text(404, "<html>Not Found</html>"));
    server.route("/cut.json", FakeProviderResponse::json(200, updateList().left(90)));
    server.route("/negative.json", FakeProviderResponse::json(200, listWithOpusAt("-4e-06")));
    for (const char* path : {"/missing.json", "/cut.json", "/negative.json"}) {
        const auto result = QCoro::waitFor(updatePrices(url(path), data.path()));
        EXPECT_FALSE(result.ok) << path;
        EXPECT_FALSE(result.error.isEmpty());
        EXPECT_EQ(test::readAll(updatedPath()), kept) << path;
        EXPECT_EQ(opusInput(), 4);
    }
    const auto missing = QCoro::waitFor(updatePrices(data.filePath("nope.json"), data.path()));
    EXPECT_FALSE(missing.ok);
}

// A body without end is cut at 16 MB; the list in effect stays.
TEST_F(PriceUpdateTest, AnEndlessAnswerIsCutAndChangesNothing) {
    ASSERT_TRUE(
        QCoro::waitFor(updatePrices(data.write("list.json", updateList()), data.path())).ok);
    const QByteArray kept = test::readAll(updatedPath());
    EndlessServer endless;
    ASSERT_TRUE(endless.listen());
    const auto result = QCoro::waitFor(updatePrices(endless.url(), data.path()));
    EXPECT_FALSE(result.ok);
    EXPECT_TRUE(result.error.contains("larger than 16 MB")) << result.error.toStdString();
    EXPECT_GT(endless.sent(), PriceBook::kListMaxBytes);  // the bound, not a time-out, ended it
    EXPECT_EQ(test::readAll(updatedPath()), kept);
    EXPECT_EQ(opusInput(), 4);
}

// `--from` a FIFO, a device (directly or through a link), a folder or a file past 16 MB: each
// is refused by name before anything could block on it or read without end.
TEST_F(PriceUpdateTest, AFileThatIsNotARegularOneIsRefused) {
    const QString fifo = data.filePath("fifo");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    ASSERT_TRUE(QFile::link("/dev/zero", data.filePath("zero")));
    QFile huge(data.filePath("huge.json"));
    ASSERT_TRUE(huge.open(QIODevice::WriteOnly) && huge.resize(PriceBook::kListMaxBytes + 1));
    huge.close();
    const std::pair<QString, const char*> cases[] = {
        {fifo, "is a FIFO"},
        {"/dev/zero", "is a device"},
        {data.filePath("zero"), "is a device"},
        {"file://" + data.filePath("zero"), "is a device"},
        {data.path(), "is a directory"},
        {data.filePath("huge.json"), "is larger than 16 MB"},
    };
    for (const auto& [from, reason] : cases) {
        const auto result = QCoro::waitFor(updatePrices(from, data.path()));
        EXPECT_FALSE(result.ok) << from.toStdString();
        EXPECT_TRUE(result.error.contains(reason)) << result.error.toStdString();
        EXPECT_FALSE(QFile::exists(updatedPath()));
    }
}

TEST_F(PriceUpdateTest, TheStoreReportsAndChecksWeeklyOnlyWhenAsked) {
    server.route("/prices.json", FakeProviderResponse::json(200, updateList()));
    PriceUpdateStore store(data.path(), url("/prices.json"));
    QSignalSpy updated(&store, &PriceUpdateStore::pricesUpdated);
    EXPECT_FALSE(PriceUpdateStore::weeklyCheck());  // off by default
    store.updateIfDue();
    EXPECT_TRUE(server.requests().empty());

    QCoro::waitFor(store.update());
    EXPECT_EQ(store.statusText(), QStringLiteral("Prices updated: %1 models").arg(bundledModels()));
    EXPECT_FALSE(store.isUpdating());
    EXPECT_EQ(updated.count(), 1);

    // Turned on a moment after a check: nothing is due for a week.
    store.setWeeklyCheck(true);
    EXPECT_TRUE(PriceUpdateStore::weeklyCheck());
    EXPECT_EQ(server.requests().size(), 1u);
    // A week later it is.
    QSettings(QStringLiteral("Quotameter"), QStringLiteral("Quotameter"))
        .setValue("prices/checkedAtMs", 0);
    store.updateIfDue();
    EXPECT_TRUE(QTest::qWaitFor([&] { return updated.count() == 2; }, 10000));
    EXPECT_EQ(server.requests().size(), 2u);

    server.route("/prices.json", FakeProviderResponse::json(200, "{"));
    QCoro::waitFor(store.update());
    EXPECT_TRUE(store.statusText().startsWith("Price update failed: not valid JSON"))
        << store.statusText().toStdString();
    EXPECT_EQ(updated.count(), 2);
}
