#pragma once

#include "local_http_server.h"

#include <QList>
#include <QPair>
#include <QString>

// The two outside services of the usage counter, served over real HTTP on 127.0.0.1: the
// Identity Toolkit password sign-in and the Firestore counter document with its commit. It
// keeps the counter, checks what the real services check (API key, account, bearer token, the
// one increment transform) and answers in their formats. Tests switch single answers to errors.
class CounterService
{
public:
    static const QByteArray kSignInPath;
    static const QByteArray kCommitPath;
    static const QByteArray kDocumentPath;
    // The commit the trainer must send, byte for byte.
    static const QByteArray kIncrementCommit;
    static const QString kApiKey; // 39 characters, like a web API key
    static const QString kEmail;
    static const QString kPassword; // with characters JSON has to escape

    CounterService();
    bool start();

    // The VELA_COUNTER_* variables that point the programs here.
    QList<QPair<QByteArray, QByteArray>> configuration() const;
    QString signInUrl() const;
    QString firestoreUrl() const;

    LocalHttpServer& http() { return server; }
    const QList<HttpRequest>& requests() const { return server.requests(); }
    QList<HttpRequest> requestsTo(const QByteArray& path) const;

    int counter = 0;
    // Error statuses to answer with instead of the service's normal reply (0: normal).
    int signInFailure = 0;
    int commitFailure = 0;
    int readFailure = 0;
    bool signInGivesToken = true;
    bool documentHasValue = true;

private:
    HttpResponse handle(const HttpRequest& request);
    HttpResponse signIn(const HttpRequest& request);
    HttpResponse commit(const HttpRequest& request);
    HttpResponse read(const HttpRequest& request);
    bool authorized(const HttpRequest& request) const;
    QByteArray documentJson() const;

    LocalHttpServer server;
    QList<QByteArray> issuedTokens;
};
