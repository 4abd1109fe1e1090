#pragma once

#include <QByteArray>
#include <QString>

#include <functional>

class QObject;
class UsageCounterConfig;

// The usage counter shared by both programs: one integer in a Firestore document, reached after
// signing in to a fixed account through the Identity Toolkit REST interface. The trainer
// increments it (server-side, atomically); the server reads it into the count file of the
// interface folder. Everything runs on the event loop of the calling thread; no failure is
// retried or shown to the user.
//
// Every request gets a new QNetworkAccessManager whose parent is the given owner (the program's
// main window); replies are handled with the owner as context, so nothing arrives after the
// owner is gone, and finished replies and managers are deleted later.
//
// The endpoints and the account come from UsageCounterConfig::fromEnvironment(). Without a
// complete configuration the calls below send nothing, write nothing and return false.
class UsageCounter
{
public:
    // Called with the outcome of a sign-in: on success the reply's "idToken" (empty when the
    // reply has none), on a network or HTTP error signedIn is false and the token empty.
    using SignInHandler = std::function<void(bool signedIn, const QString& idToken)>;

    // Signs in, then commits one increment of the counter with the token, and writes the
    // commit reply object to the debug log.
    static bool increment(QObject* owner);
    // Signs in and hands the outcome to onReply.
    static bool signIn(QObject* owner, SignInHandler onReply);
    // Reads the counter with the token and writes it to the count file (digits only). On an
    // error the file stays as it was.
    static bool readCount(QObject* owner, const QString& idToken);

    // The sign-in body: compact JSON, keys "email", "password", "returnSecureToken" in order.
    static QByteArray signInBody(const QString& email, const QString& password);
    // The commit that adds 1 to the counter field, byte for byte as the service receives it.
    static QByteArray incrementBody();
    // "idToken" of a sign-in reply; empty when the reply is not an object or has none.
    static QString tokenOf(const QByteArray& signInReply);
    // fields.value.integerValue of a counter document, a decimal string; empty when missing.
    static QString countOf(const QByteArray& counterDocument);
    // Replaces the count file whole with the count; logs "colab_count : " + count on success.
    static bool writeCountFile(const QString& count);

private:
    static UsageCounterConfig configuration();
};
