#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>

#include <functional>

class QTcpSocket;

// One HTTP/1.1 request as it arrived on the wire.
struct HttpRequest
{
    QByteArray method;
    QByteArray target; // path and query, as sent
    QList<QPair<QByteArray, QByteArray>> headers; // in order, values as sent after ": "
    QByteArray body;

    QByteArray path() const;
    QByteArray query() const;
    // The first header of that name (case-insensitive); null when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
};

struct HttpResponse
{
    int status = 200;
    QByteArray body;
    QByteArray contentType = "application/json; charset=UTF-8";
};

// A small real HTTP/1.1 server on 127.0.0.1 for tests: it reads whole requests (Content-Length
// bodies), keeps them in arrival order and answers each through the handler, one request per
// connection.
class LocalHttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<HttpResponse(const HttpRequest&)>;

    explicit LocalHttpServer(Handler handler, QObject* parent = nullptr);

    bool listen();
    quint16 port() const { return server.serverPort(); }
    // http://127.0.0.1:<port>
    QString baseUrl() const;
    const QList<HttpRequest>& requests() const { return received; }

signals:
    void requestReceived();

private:
    void accept();
    void readFrom(QTcpSocket* socket);
    void answer(QTcpSocket* socket, const HttpRequest& request);

    Handler handler;
    QTcpServer server;
    QHash<QTcpSocket*, QByteArray> pending;
    QList<HttpRequest> received;
};
