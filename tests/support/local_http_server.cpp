#include "local_http_server.h"

#include <QTcpSocket>

namespace {

const QByteArray kHeadEnd = "\r\n\r\n";

QByteArray reasonOf(int status)
{
    switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

// Parses the head (request line and headers); false when it is malformed.
bool parseHead(const QByteArray& head, HttpRequest& request)
{
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    if (requestLine.size() != 3)
        return false;
    request.method = requestLine[0];
    request.target = requestLine[1];
    for (int i = 1; i < lines.size(); ++i) {
        QByteArray line = lines[i];
        if (line.endsWith('\r'))
            line.chop(1);
        const int colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        // Only the one blank that separates name and value is taken away: the value stays as sent.
        QByteArray value = line.mid(colon + 1);
        if (value.startsWith(' '))
            value.remove(0, 1);
        request.headers.append({line.left(colon), value});
    }
    return true;
}

} // namespace

QByteArray HttpRequest::path() const
{
    const int question = target.indexOf('?');
    return question < 0 ? target : target.left(question);
}

QByteArray HttpRequest::query() const
{
    const int question = target.indexOf('?');
    return question < 0 ? QByteArray() : target.mid(question + 1);
}

QByteArray HttpRequest::header(const QByteArray& name) const
{
    for (const auto& header : headers) {
        if (header.first.toLower() == name.toLower())
            return header.second.isNull() ? QByteArray("") : header.second;
    }
    return QByteArray();
}

bool HttpRequest::hasHeader(const QByteArray& name) const { return !header(name).isNull(); }

LocalHttpServer::LocalHttpServer(Handler handler, QObject* parent)
    : QObject(parent), handler(std::move(handler))
{
    connect(&server, &QTcpServer::newConnection, this, &LocalHttpServer::accept);
}

bool LocalHttpServer::listen() { return server.listen(QHostAddress::LocalHost, 0); }

QString LocalHttpServer::baseUrl() const { return QString("http://127.0.0.1:%1").arg(port()); }

void LocalHttpServer::accept()
{
    while (QTcpSocket* socket = server.nextPendingConnection()) {
        pending.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readFrom(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            pending.remove(socket);
            socket->deleteLater();
        });
    }
}

void LocalHttpServer::readFrom(QTcpSocket* socket)
{
    if (!pending.contains(socket))
        return;
    QByteArray& buffer = pending[socket];
    buffer += socket->readAll();
    const int headEnd = buffer.indexOf(kHeadEnd);
    if (headEnd < 0)
        return;
    HttpRequest request;
    if (!parseHead(buffer.left(headEnd), request)) {
        pending.remove(socket);
        socket->disconnectFromHost();
        return;
    }
    const int bodyStart = headEnd + kHeadEnd.size();
    const int length = request.header("Content-Length").toInt();
    if (buffer.size() - bodyStart < length)
        return;
    request.body = buffer.mid(bodyStart, length);
    pending.remove(socket);
    answer(socket, request);
}

void LocalHttpServer::answer(QTcpSocket* socket, const HttpRequest& request)
{
    received.append(request);
    const HttpResponse response = handler(request);
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(response.status) + " " + reasonOf(response.status) + "\r\n";
    bytes += "Content-Type: " + response.contentType + "\r\n";
    bytes += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    bytes += "Connection: close\r\n\r\n";
    bytes += response.body;
    socket->write(bytes);
    socket->disconnectFromHost();
    emit requestReceived();
}
