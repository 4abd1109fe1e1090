#include "usage_counter_config.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const char* const kCommitPath = "/v1/projects/vela-colab-manager/databases/(default)/documents:commit";
const char* const kCounterDocumentPath =
    "/v1/projects/vela-colab-manager/databases/(default)/documents/colab/ruzerizozize/count/train";

// A configuration file that cannot be used is reported and contributes nothing.
QJsonObject readConfigFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qDebug().noquote() << "usage counter: cannot read configuration file" << path << ":" << file.errorString();
        return QJsonObject();
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        qDebug().noquote() << "usage counter: configuration file" << path << "is not a JSON object"
                           << (error.error != QJsonParseError::NoError ? ": " + error.errorString() : QString());
        return QJsonObject();
    }
    return document.object();
}

void take(QString& item, const QJsonObject& file, const char* key, const char* variable)
{
    if (file.contains(QLatin1String(key)))
        item = file.value(QLatin1String(key)).toString();
    if (!qEnvironmentVariableIsEmpty(variable))
        item = qEnvironmentVariable(variable);
}

bool usableServiceUrl(const QString& text)
{
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() && (url.scheme() == "https" || url.scheme() == "http") && !url.host().isEmpty();
}

QUrl firestoreEndpoint(const QString& root, const char* path)
{
    QString base = root;
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return QUrl(base + QLatin1String(path), QUrl::StrictMode);
}

} // namespace

UsageCounterConfig UsageCounterConfig::fromEnvironment()
{
    QJsonObject file;
    const QString filePath = qEnvironmentVariable(kConfigFileVariable);
    if (!filePath.isEmpty())
        file = readConfigFile(filePath);

    UsageCounterConfig config;
    take(config.signInUrl, file, kSignInUrlKey, kSignInUrlVariable);
    take(config.firestoreUrl, file, kFirestoreUrlKey, kFirestoreUrlVariable);
    take(config.email, file, kEmailKey, kEmailVariable);
    take(config.password, file, kPasswordKey, kPasswordVariable);
    return config;
}

bool UsageCounterConfig::isEmpty() const
{
    return signInUrl.isEmpty() && firestoreUrl.isEmpty() && email.isEmpty() && password.isEmpty();
}

bool UsageCounterConfig::isComplete() const { return problems().isEmpty(); }

QStringList UsageCounterConfig::problems() const
{
    QStringList missing;
    if (!usableServiceUrl(signInUrl))
        missing << kSignInUrlVariable;
    if (!usableServiceUrl(firestoreUrl))
        missing << kFirestoreUrlVariable;
    if (email.isEmpty())
        missing << kEmailVariable;
    if (password.isEmpty())
        missing << kPasswordVariable;
    return missing;
}

QUrl UsageCounterConfig::signInEndpoint() const { return QUrl(signInUrl, QUrl::StrictMode); }

QUrl UsageCounterConfig::commitEndpoint() const { return firestoreEndpoint(firestoreUrl, kCommitPath); }

QUrl UsageCounterConfig::counterDocumentEndpoint() const
{
    return firestoreEndpoint(firestoreUrl, kCounterDocumentPath);
}
