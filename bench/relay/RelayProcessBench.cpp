// The relay as users run it, a `quotameter-cli relay` process on its own accounts, key store
// and a 10 000-record history, measured beside nginx proxying to the same fake upstream:
// requests per second at 32 clients, added latency (median, 99th percentile) of a metered
// generateContent against calling the upstream directly, and CPU time per forwarded request
// of each proxy process (from /proc).
//
// The key lives in a private key file unless `--keyring` is given; scripts/bench runs that
// variant inside a private D-Bus session with its own unlocked GNOME Keyring, so the user's
// own keyring is never touched.

#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <optional>

#include "history/UsageHistoryFile.h"
#include "relay/LoopbackClient.h"
#include "relay/RelayBenchSetup.h"
#include "support/FakeGeminiUpstream.h"

namespace {

using namespace qm::bench;

// utime + stime of a process and all its threads, in seconds.
double cpuSeconds(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) return 0;
    const QByteArray text = stat.readAll();
    // Fields after the command name, which may hold spaces, start past its closing bracket.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    const double ticks = fields.value(11).toDouble() + fields.value(12).toDouble();
    return ticks / double(::sysconf(_SC_CLK_TCK));
}

bool waitForPort(quint16 port) {
    const std::string health = "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    for (int i = 0; i < 200; ++i) {
        if (exchange(port, health)) return true;
        QThread::msleep(50);
    }
    return false;
}

quint16 freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

struct ProxyFigures {
    double rps = 0;
    double cpuUsPerRequest = 0;
    Latency latency;
};

// Throughput and CPU at 32 clients, then sequential latency, of one proxy process.
ProxyFigures measure(quint16 port, qint64 pid, const std::string& call) {
    ProxyFigures figures;
    exchange(port, call);
    const double cpuBefore = cpuSeconds(pid);
    std::atomic<long> served{0};
    figures.rps = throughput(port, call, 32, 3, &served);
    const double cpu = cpuSeconds(pid) - cpuBefore;
    if (served > 0) figures.cpuUsPerRequest = cpu / double(served) * 1e6;
    figures.latency = sequential(port, call, 1000);
    return figures;
}

QString nginxConfig(const QString& root, quint16 listen, quint16 upstream) {
    return QStringLiteral(
               "daemon off; master_process off; worker_processes 1; pid %1/nginx.pid;\n"
               "error_log %1/nginx-error.log;\n"
               "events { worker_connections 4096; }\n"
               "http {\n"
               "  access_log off;\n"
               "  client_body_temp_path %1/body; proxy_temp_path %1/proxy;\n"
               "  fastcgi_temp_path %1/fastcgi; uwsgi_temp_path %1/uwsgi; scgi_temp_path %1/scgi;\n"
               "  upstream fake { server 127.0.0.1:%3; keepalive 32; }\n"
               "  server {\n"
               "    listen 127.0.0.1:%2;\n"
               "    location / { proxy_pass http://fake; proxy_http_version 1.1;\n"
               "                 proxy_set_header Connection \"\"; proxy_buffering off; }\n"
               "  }\n"
               "}\n")
        .arg(root)
        .arg(listen)
        .arg(upstream);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const bool keyring = app.arguments().contains(QStringLiteral("--keyring"));
    const QString label = keyring ? QStringLiteral("keyring") : QStringLiteral("key_file");
    QTemporaryDir home;

    QThread upstreamThread;
    upstreamThread.start();
    auto* upstream = new qm::test::FakeGeminiUpstream([](const qm::test::FakeGeminiRequest& r) {
        qm::test::FakeGeminiResponse response;
        response.body = r.path.contains(QLatin1String(":generateContent"))
                            ? qm::test::FakeGeminiUpstream::answerJson(12, 30)
                            : QByteArray(R"({"models":[]})");
        return response;
    });
    if (!listenOnThread(upstream, upstreamThread)) return 1;

    // The relay process sees only the temporary home; without --keyring it finds no session
    // bus, so its key goes to the private key file.
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home.path());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), home.path() + QStringLiteral("/data"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/config"));
    if (!keyring) {
        environment.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"),
                           QStringLiteral("unix:path=/nonexistent"));
    }
    const auto cli = [&](const QStringList& arguments) {
        auto* process = new QProcess;
        process->setProcessEnvironment(environment);
        process->setProgram(QStringLiteral(QM_CLI_PATH));
        process->setArguments(arguments);
        return process;
    };

    const QString dataFolder = home.path() + QStringLiteral("/data/Quotameter");
    QDir().mkpath(dataFolder);
    seedRelayHistory(qm::UsageHistoryFileStore::pathIn(dataFolder), 10000);
    std::unique_ptr<QProcess> add(cli({"accounts", "add", "gemini", "--alias", "bench"}));
    add->start();
    add->write("AIza-bench-key\n");
    add->closeWriteChannel();
    add->waitForFinished(30000);
    std::unique_ptr<QProcess> list(cli({"accounts", "list"}));
    list->start();
    list->waitForFinished(30000);
    const QByteArray listed = list->readAllStandardOutput() + list->readAllStandardError();
    if (add->exitCode() != 0 || !listed.contains("bench")) {
        std::fprintf(stderr, "the bench account could not be added: %s\n", listed.constData());
        return 1;
    }
    const QString keyFile = dataFolder + QStringLiteral("/api-keys.json");
    std::printf("relay_process_key_store: %s\n",
                QFile::exists(keyFile) ? "private key file" : "Secret Service");

    const quint16 relayPort = freePort();
    std::unique_ptr<QProcess> relay(
        cli({"relay", "--port", QString::number(relayPort), "--upstream", upstream->baseUrl()}));
    relay->setStandardOutputFile(QProcess::nullDevice());
    relay->start();
    if (!relay->waitForStarted(10000) || !waitForPort(relayPort)) {
        std::fprintf(stderr, "the relay did not start: %s\n",
                     relay->readAllStandardError().constData());
        return 1;
    }

    std::unique_ptr<QProcess> nginx;
    const quint16 nginxPort = freePort();
    if (QFile::exists(QStringLiteral("/usr/sbin/nginx"))) {
        for (const char* folder : {"body", "proxy", "fastcgi", "uwsgi", "scgi"})
            QDir(home.path()).mkpath(QString::fromLatin1(folder));
        QFile config(home.path() + QStringLiteral("/nginx.conf"));
        config.open(QIODevice::WriteOnly);
        config.write(nginxConfig(home.path(), nginxPort, upstream->port()).toUtf8());
        config.close();
        nginx = std::make_unique<QProcess>();
        nginx->start(QStringLiteral("/usr/sbin/nginx"),
                     {"-p", home.path(), "-c", config.fileName(), "-e",
                      home.path() + QStringLiteral("/nginx-error.log")});
        if (!nginx->waitForStarted(10000) || !waitForPort(nginxPort)) nginx.reset();
    }

    const std::string call = request("POST", kGenerate, true);
    const Latency direct = sequential(upstream->port(), call, 1000);
    const ProxyFigures relayed = measure(relayPort, relay->processId(), call);
    const QByteArray prefix = "relay_process_" + label.toLatin1();
    std::printf("%s_metered_rps_32_clients: %.0f req/s\n", prefix.constData(), relayed.rps);
    std::printf("%s_added_latency_median_ms: %.3f ms\n", prefix.constData(),
                relayed.latency.median - direct.median);
    std::printf("%s_added_latency_p99_ms: %.3f ms\n", prefix.constData(),
                relayed.latency.p99 - direct.p99);
    std::printf("%s_cpu_per_request_us: %.0f us\n", prefix.constData(), relayed.cpuUsPerRequest);
    if (nginx) {
        const ProxyFigures proxied = measure(nginxPort, nginx->processId(), call);
        std::printf("nginx_rps_32_clients: %.0f req/s\n", proxied.rps);
        std::printf("nginx_added_latency_median_ms: %.3f ms\n",
                    proxied.latency.median - direct.median);
        std::printf("nginx_cpu_per_request_us: %.0f us\n", proxied.cpuUsPerRequest);
        std::printf("%s_rps_share_of_nginx: %.2f\n", prefix.constData(), relayed.rps / proxied.rps);
        if (proxied.cpuUsPerRequest > 0) {
            std::printf("%s_cpu_per_request_vs_nginx: %.1fx\n", prefix.constData(),
                        relayed.cpuUsPerRequest / proxied.cpuUsPerRequest);
        }
        nginx->terminate();
        nginx->waitForFinished(10000);
    } else {
        std::printf("nginx: not installed, no comparison\n");
    }
    relay->terminate();
    relay->waitForFinished(30000);
    std::fflush(stdout);
    QMetaObject::invokeMethod(
        upstream, [upstream] { delete upstream; }, Qt::BlockingQueuedConnection);
    upstreamThread.quit();
    upstreamThread.wait();
    return relay->exitCode() == 0 ? 0 : 1;
}
