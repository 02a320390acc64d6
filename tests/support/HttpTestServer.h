// A small HTTP/1.1 server on a free loopback port, served by the test's own event loop: it records
// every request and answers from a table of paths. A path without an answer is left hanging.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QMap>
#include <QTcpServer>
#include <QTcpSocket>
#include <QVector>

struct THttpTestRequest {
    QByteArray method, target;
    QMap<QByteArray, QByteArray> headers;  // names in lower case
    QByteArray body;
};

class THttpTestServer {
public:
    THttpTestServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* s = server_.nextPendingConnection()) {
                ++connections;
                QObject::connect(s, &QTcpSocket::readyRead, s, [this, s] { Read(s); });
                QObject::connect(s, &QTcpSocket::disconnected, s, [this, s] {
                    ++disconnections;
                    s->deleteLater();
                });
            }
        });
    }

    quint16 Port() const { return server_.serverPort(); }
    QString Url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(Port()).arg(path); }

    // The raw answer for a path (the part of the target before "?").
    void Answer(const QByteArray& path, int status, const QByteArray& body, const QByteArray& extraHeaders = {}) {
        answers_[path] = "HTTP/1.1 " + QByteArray::number(status) + " X\r\nContent-Length: " + QByteArray::number(body.size()) +
                         "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
    }

    QVector<THttpTestRequest> requests;
    int connections = 0;
    int disconnections = 0;

private:
    void Read(QTcpSocket* s) {
        QByteArray& buf = pending_[s];
        buf += s->readAll();
        const qsizetype end = buf.indexOf("\r\n\r\n");
        if (end < 0) return;
        THttpTestRequest r;
        const QList<QByteArray> lines = buf.left(end).split('\n');
        const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
        r.method = first.value(0);
        r.target = first.value(1);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0) r.headers[lines[i].left(colon).trimmed().toLower()] = lines[i].mid(colon + 1).trimmed();
        }
        const qsizetype length = r.headers.value("content-length", "0").toLongLong();
        if (buf.size() < end + 4 + length) return;
        r.body = buf.mid(end + 4, length);
        pending_.remove(s);
        requests.append(r);
        const QByteArray path = r.target.left(r.target.indexOf('?') < 0 ? r.target.size() : r.target.indexOf('?'));
        if (answers_.contains(path)) {
            s->write(answers_[path]);
            s->disconnectFromHost();
        }
    }

    QTcpServer server_;
    QMap<QByteArray, QByteArray> answers_;
    QMap<QTcpSocket*, QByteArray> pending_;
};
