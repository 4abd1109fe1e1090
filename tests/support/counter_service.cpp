#include "counter_service.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

const QByteArray CounterService::kSignInPath = "/v1/accounts:signInWithPassword";
const QByteArray CounterService::kCommitPath = "/v1/projects/vela-colab-manager/databases/(default)/documents:commit";
const QByteArray CounterService::kDocumentPath =
    "/v1/projects/vela-colab-manager/databases/(default)/documents/colab/ruzerizozize/count/train";
const QByteArray CounterService::kIncrementCommit =
    R"({ "writes": [{ "transform": { "document": "projects/vela-colab-manager/databases/(default)/documents/colab/ruzerizozize/count/train", "fieldTransforms": [{ "fieldPath": "value", "increment": { "integerValue": 1 }}]}}]})";
const QString CounterService::kApiKey = "TestKey-0123456789abcdefghijklmnopqrstu";
const QString CounterService::kEmail = "counter.tester@example.test";
const QString CounterService::kPassword = R"(p"ss\word/1)";

namespace {

HttpResponse errorReply(int status, const QString& message)
{
    const QJsonObject error{{"code", status}, {"message", message}};
    return {status, QJsonDocument(QJsonObject{{"error", error}}).toJson(QJsonDocument::Compact)};
}

} // namespace

CounterService::CounterService()
    : server([this](const HttpRequest& request) { return handle(request); })
{
}

bool CounterService::start() { return server.listen(); }

QList<QPair<QByteArray, QByteArray>> CounterService::configuration() const
{
    return {{"VELA_COUNTER_SIGNIN_URL", signInUrl().toUtf8()},
            {"VELA_COUNTER_FIRESTORE_URL", firestoreUrl().toUtf8()},
            {"VELA_COUNTER_EMAIL", kEmail.toUtf8()},
            {"VELA_COUNTER_PASSWORD", kPassword.toUtf8()}};
}

QString CounterService::signInUrl() const
{
    return server.baseUrl() + QString::fromLatin1(kSignInPath) + "?key=" + kApiKey;
}

QString CounterService::firestoreUrl() const { return server.baseUrl(); }

QList<HttpRequest> CounterService::requestsTo(const QByteArray& path) const
{
    QList<HttpRequest> found;
    for (const HttpRequest& request : requests()) {
        if (request.path() == path)
            found.append(request);
    }
    return found;
}

HttpResponse CounterService::handle(const HttpRequest& request)
{
    if (request.method == "POST" && request.path() == kSignInPath)
        return signInFailure ? errorReply(signInFailure, "sign-in refused") : signIn(request);
    if (request.method == "POST" && request.path() == kCommitPath)
        return commitFailure ? errorReply(commitFailure, "commit refused") : commit(request);
    if (request.method == "GET" && request.path() == kDocumentPath)
        return readFailure ? errorReply(readFailure, "read refused") : read(request);
    return errorReply(404, "no such resource");
}

HttpResponse CounterService::signIn(const HttpRequest& request)
{
    if (request.query() != "key=" + kApiKey.toUtf8())
        return errorReply(400, "API key not valid");
    const QJsonObject account = QJsonDocument::fromJson(request.body).object();
    if (account.value("email").toString() != kEmail || account.value("password").toString() != kPassword)
        return errorReply(400, "INVALID_PASSWORD");
    QJsonObject reply{{"kind", "identitytoolkit#VerifyPasswordResponse"},
                      {"email", kEmail},
                      {"registered", true},
                      {"expiresIn", "3600"}};
    if (signInGivesToken) {
        issuedTokens.append("token-" + QByteArray::number(issuedTokens.size() + 1));
        reply.insert("idToken", QString::fromLatin1(issuedTokens.last()));
    }
    return {200, QJsonDocument(reply).toJson(QJsonDocument::Compact)};
}

HttpResponse CounterService::commit(const HttpRequest& request)
{
    if (!authorized(request))
        return errorReply(401, "Request had invalid authentication credentials.");
    if (request.body != kIncrementCommit)
        return errorReply(400, "Invalid JSON payload received.");
    ++counter;
    const QJsonObject transformResult{{"integerValue", QString::number(counter)}};
    const QJsonObject writeResult{{"updateTime", "2024-01-01T00:00:00.000000Z"},
                                  {"transformResults", QJsonArray{transformResult}}};
    const QJsonObject reply{{"writeResults", QJsonArray{writeResult}}, {"commitTime", "2024-01-01T00:00:00.000000Z"}};
    return {200, QJsonDocument(reply).toJson(QJsonDocument::Compact)};
}

HttpResponse CounterService::read(const HttpRequest& request)
{
    if (!authorized(request))
        return errorReply(401, "Request had invalid authentication credentials.");
    return {200, documentJson()};
}

bool CounterService::authorized(const HttpRequest& request) const
{
    const QByteArray authorization = request.header("Authorization");
    for (const QByteArray& token : issuedTokens) {
        if (authorization == "Bearer " + token)
            return true;
    }
    return false;
}

QByteArray CounterService::documentJson() const
{
    QJsonObject document{{"name", "projects/vela-colab-manager/databases/(default)/documents/colab/ruzerizozize/count/train"},
                         {"createTime", "2023-01-01T00:00:00.000000Z"},
                         {"updateTime", "2024-01-01T00:00:00.000000Z"}};
    if (documentHasValue)
        document.insert("fields", QJsonObject{{"value", QJsonObject{{"integerValue", QString::number(counter)}}}});
    // Indented, as the service sends it.
    return QJsonDocument(document).toJson(QJsonDocument::Indented);
}
