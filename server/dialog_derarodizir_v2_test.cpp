// Model update and test: the server's two operations on the classifier library, each stage
// reported as a one-line JSON record in the server log.
#include "dialog_derarodizir_v2.h"

#include "atomic_file.h"
#include "backend.h"
#include "classif_config.h"
#include "dialog_list_configs.h"
#include "interface_paths.h"
#include "json_record_log.h"
#include "picture_file.h"
#include "score_percent.h"

#include <QDebug>
#include <QFileInfo>
#include <QThread>

#include <opencv2/imgproc.hpp>

#include <cmath>

namespace {

QJsonObject record(const char* stateName)
{
    return QJsonObject{{"state", QString::fromLatin1(stateName)}};
}

} // namespace

void DialogDeraRodizir_v2::show_log(QJsonObject record)
{
    JsonRecordLog::write(InterfacePaths::serverLog(), record);
}

void DialogDeraRodizir_v2::update_model(QString folder)
{
    QJsonObject log = record("update_start");
    show_log(log);

    // The previous network goes first, so that no failed update, whatever its cause, leaves it
    // answering tests as though it were the model just asked for.
    ClassifConfig* previous = DialogListConfigs::map_classif_cfgs.value(kTestConfigName, nullptr);
    if (previous && previous->loaded)
        vela_lib_darknet_widget::dlg_classif_lst_config->unload(kTestConfigName, previous);

    // The folder is used as given: a trailing slash gives a doubled one.
    const QString weights = folder + "/train.weights";
    if (!QFileInfo::exists(weights)) {
        log["state"] = "update_error";
        log["msg"] = "not found : " + weights;
        show_log(log);
        return;
    }

    const bool ok = vela_lib_darknet_widget::dlg_classif_lst_config->addConfigPath(kTestConfigName, folder,
                                                                                  backendName(backendForThisMachine()));
    log = record("update_end");
    log["load_model"] = ok;
    if (!ok)
        log["msg"] = vela_lib_darknet_widget::dlg_classif_lst_config->lastError();
    show_log(log);
    QThread::sleep(1);
    show_log(log);
}

void DialogDeraRodizir_v2::test_model(QString path)
{
    QJsonObject log = record("test_start");
    show_log(log);
    log["state"] = "test_error";
    const auto fail = [this, &log](const QString& message) {
        log["msg"] = message;
        show_log(log);
    };

    if (!QFileInfo::exists(path))
        return fail("not found : " + path);
    // Told apart from an unreadable picture: a small file may declare one of gigabytes.
    const QString tooLarge = PictureFile::sizeRefusal(path);
    if (!tooLarge.isEmpty())
        return fail("picture too large to decode, " + tooLarge + " : " + path);
    ClassifConfig* config = DialogListConfigs::map_classif_cfgs.value(kTestConfigName, nullptr);
    if (!config || !config->loaded)
        return fail(QStringLiteral("no model loaded"));

    class_colors = config->class_colors;
    class_names = config->class_names;
    config_name = kTestConfigName;
    set_up_parameter(config);

    test_image.release();
    test_image = PictureFile::readColour(path);
    const cv::Size scaled = PictureFile::scaledToLongSide(test_image.size(), kTestImageSide);
    if (scaled.empty()) {
        // Unreadable, or so elongated that its shorter side would vanish.
        test_image.release();
        return fail("not a picture that can be read and scaled : " + path);
    }
    cv::resize(test_image, test_image, scaled, 0, 0, cv::INTER_LINEAR);

    result_image.release();
    guide_maps.clear();
    passed.clear();

    try {
        results = config->infer(test_image);
    } catch (const cv::Exception& error) {
        qDebug().noquote() << "classification failed:" << error.what();
        results.clear();
        return fail("classification failed: " + QString::fromStdString(error.msg));
    }
    // No network, a wrong output size, a failure inside OpenCV: no result is no success.
    if (results.empty())
        return fail("classification gave no result: " + config->infer_error);
    for (const cv::Mat& map : config->guide_maps)
        guide_maps.append(map.clone());

    for (size_t i = 0; i < results.size(); ++i) {
        if (isDrawable(results[i].first) && double(results[i].second) >= config->threshold)
            passed.append(int(i));
    }

    current_config = config;
    genClassMap();

    // Whole, not on the disk, is what its reader needs: the driver reads it right after the
    // record, and the next test rewrites it; waiting for an fsync would only slow the answer.
    if (!PictureFile::write(InterfacePaths::serverResult(), result_image, AtomicFile::Durability::Unsynced))
        return fail("the result picture could not be written : " + InterfacePaths::serverResult());
    log["state"] = "test_end";
    log["results"] = resultRecords();
    log["class_probs"] = classProbabilities(config->last_scores);
    show_log(log);
}

bool DialogDeraRodizir_v2::isDrawable(int classIndex) const
{
    // A class the configuration has no name or colour for is neither drawn nor reported.
    return classIndex >= 0 && classIndex < class_names.size() && size_t(classIndex) < class_colors.size();
}

QJsonArray DialogDeraRodizir_v2::resultRecords() const
{
    QJsonArray records;
    for (const auto& result : results) {
        if (isDrawable(result.first))
            records.append(QJsonObject{{"name", class_names.at(result.first)}, {"prob", ScorePercent::truncated(result.second)}});
    }
    return records;
}

QJsonArray DialogDeraRodizir_v2::classProbabilities(const std::vector<float>& scores) const
{
    QJsonArray records;
    for (int i = 0; i < class_names.size() && size_t(i) < scores.size(); ++i)
        records.append(QJsonObject{{"name", class_names.at(i)}, {"prob", ScorePercent::truncated(scores[size_t(i)])}});
    return records;
}
