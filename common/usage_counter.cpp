#include "usage_counter.h"

#include "atomic_file.h"
#include "interface_paths.h"
#include "usage_counter_config.h"

#include <QDebug>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

const char kIncrementBody[] =
    "{ \"writes\": [{ \"transform\": { \"document\": "
    "\"projects/vela-colab-manager/databases/(default)/documents/colab/ruzerizozize/count/train\", "
    "\"fieldTransforms\": [{ \"fieldPath\": \"value\", \"increment\": { \"integerValue\": 1 }}]}}]}";

using ReplyHandler = std::function<void(QNetworkReply* reply)>;

QNetworkRequest jsonRequest(const QUrl& url)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/json"));
    return request;
}

QNetworkRequest authorizedRequest(const QUrl& url, const QString& idToken)
{
    QNetworkRequest request = jsonRequest(url);
    request.setRawHeader("Authorization", "Bearer " + idToken.toUtf8());
    return request;
}

// Runs the handler once the reply has finished, unless the owner is gone by then; then lets go
// of the reply and of the manager that was made for it alone.
void whenFinished(QNetworkReply* reply, QObject* owner, ReplyHandler handler)
{
    QObject::connect(reply, &QNetworkReply::finished, owner, [reply, handler] {
        handler(reply);
        reply->deleteLater();
        reply->manager()->deleteLater();
    });
}

void post(QObject* owner, const QNetworkRequest& request, const QByteArray& body, ReplyHandler handler)
{
    auto* manager = new QNetworkAccessManager(owner);
    whenFinished(manager->post(request, body), owner, std::move(handler));
}

void get(QObject* owner, const QNetworkRequest& request, ReplyHandler handler)
{
    auto* manager = new QNetworkAccessManager(owner);
    whenFinished(manager->get(request), owner, std::move(handler));
}

QJsonObject jsonObjectOf(const QByteArray& body) { return QJsonDocument::fromJson(body).object(); }

void sendSignIn(QObject* owner, const UsageCounterConfig& config, UsageCounter::SignInHandler onReply)
{
    post(owner, jsonRequest(config.signInEndpoint()), UsageCounter::signInBody(config.email, config.password),
         [onReply](QNetworkReply* reply) {
             if (reply->error() != QNetworkReply::NoError) {
                 onReply(false, QString());
                 return;
             }
             onReply(true, UsageCounter::tokenOf(reply->readAll()));
         });
}

} // namespace

UsageCounterConfig UsageCounter::configuration()
{
    const UsageCounterConfig config = UsageCounterConfig::fromEnvironment();
    // Not configured at all means switched off, quietly; half configured is worth a line.
    if (!config.isEmpty() && !config.isComplete())
        qDebug().noquote() << "usage counter off, configuration incomplete:" << config.problems().join(", ");
    return config;
}

bool UsageCounter::increment(QObject* owner)
{
    const UsageCounterConfig config = configuration();
    if (!config.isComplete())
        return false;
    const QUrl commitEndpoint = config.commitEndpoint();
    sendSignIn(owner, config, [owner, commitEndpoint](bool signedIn, const QString& idToken) {
        if (!signedIn)
            return;
        post(owner, authorizedRequest(commitEndpoint, idToken), incrementBody(), [](QNetworkReply* reply) {
            if (reply->error() != QNetworkReply::NoError)
                return;
            qDebug() << jsonObjectOf(reply->readAll());
        });
    });
    return true;
}

bool UsageCounter::signIn(QObject* owner, SignInHandler onReply)
{
    const UsageCounterConfig config = configuration();
    if (!config.isComplete())
        return false;
    sendSignIn(owner, config, std::move(onReply));
    return true;
}

bool UsageCounter::readCount(QObject* owner, const QString& idToken)
{
    const UsageCounterConfig config = configuration();
    if (!config.isComplete())
        return false;
    get(owner, authorizedRequest(config.counterDocumentEndpoint(), idToken), [](QNetworkReply* reply) {
        if (reply->error() != QNetworkReply::NoError)
            return;
        writeCountFile(countOf(reply->readAll()));
    });
    return true;
}

QByteArray UsageCounter::signInBody(const QString& email, const QString& password)
{
    // QJsonObject keeps its keys sorted, which is exactly the order the service is sent.
    QJsonObject body;
    body.insert("email", email);
    body.insert("password", password);
    body.insert("returnSecureToken", true);
    return QJsonDocument(body).toJson(QJsonDocument::Compact);
}

QByteArray UsageCounter::incrementBody() { return QByteArray(kIncrementBody, int(sizeof(kIncrementBody) - 1)); }

QString UsageCounter::tokenOf(const QByteArray& signInReply)
{
    return jsonObjectOf(signInReply).value("idToken").toString();
}

QString UsageCounter::countOf(const QByteArray& counterDocument)
{
    return jsonObjectOf(counterDocument)
        .value("fields").toObject()
        .value("value").toObject()
        .value("integerValue").toString();
}

bool UsageCounter::writeCountFile(const QString& count)
{
    if (!AtomicFile::write(InterfacePaths::usageCountFile(), count.toUtf8()))
        return false;
    qDebug().noquote() << "colab_count : " + count;
    return true;
}
