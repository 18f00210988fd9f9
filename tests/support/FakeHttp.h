#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QUrlQuery>
#include <map>

// What the fake servers in this folder share: reading a request's head and naming a status.
namespace qm::test::FakeHttp {

struct Head {
    QByteArray method;
    QByteArray target;                         // as on the request line
    std::map<QByteArray, QByteArray> headers;  // lower-case names, trimmed values
    QString path() const;                      // the target's path, percent-decoded
    QUrlQuery query() const;
};

// The request line and header lines, without the blank line that ends them.
Head parseHead(QByteArrayView head);

// "OK", "Not Found", ...; "Status" for codes the fakes do not use.
QByteArray reasonPhrase(int status);

}  // namespace qm::test::FakeHttp
