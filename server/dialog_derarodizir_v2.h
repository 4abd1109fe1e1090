#pragma once

#include <QDialog>
#include <QJsonArray>
#include <QJsonObject>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>
#include <QStringList>

#include <opencv2/core.hpp>

#include <utility>
#include <vector>

class ClassifConfig;
class QLabel;

namespace Ui {
class DialogDeraRodizir_v2;
}

// The server's classifier panel: classification and drawing settings in two tabs, the
// configuration in use, model update and test, and the class map drawn over the tested picture.
// Its implementation is split by concern: construction, state and configuration handling here,
// the class map in dialog_derarodizir_v2_class_map.cpp, update and test in
// dialog_derarodizir_v2_test.cpp.
class DialogDeraRodizir_v2 : public QDialog
{
    Q_OBJECT

public:
    explicit DialogDeraRodizir_v2(QWidget* parent = nullptr);
    ~DialogDeraRodizir_v2() override;

    QJsonObject saveState();
    void restoreState(QJsonObject state);

    // Loads, or reloads, the model folder as the configuration "test".
    void update_model(QString folder);
    // Classifies the picture file with the configuration "test" and writes the result picture.
    void test_model(QString path);
    // Prints the record and makes it the whole content of the server log.
    void show_log(QJsonObject record);

    // Copies the panel's classification and drawing settings into the configuration.
    void set_up_parameter(ClassifConfig* config);
    // Draws result_image from test_image, the guide maps of the passed results and the
    // configuration's own annotation.
    void genClassMap();

    // The name every update loads its model under.
    static const QString kTestConfigName;
    // The longer side of the picture that is classified and drawn.
    static constexpr int kTestImageSide = 608;

    bool list_dialog_open = false;
    QMutex dialog_mutex;
    // Labels of an embedding host that mirror the configuration name and backend icon;
    // the server has none.
    QLabel* host_name_label = nullptr;
    QLabel* host_icon_label = nullptr;
    // Name shown and preview resource, indexed by OpenCV's colour-map number.
    QList<QPair<QString, QString> > color_maps;

    cv::Mat test_image;
    cv::Mat result_image;
    QList<cv::Mat> guide_maps;
    QString config_name;
    std::vector<cv::Scalar> class_colors;
    QStringList class_names;
    std::vector<std::pair<int, float> > results;
    QList<int> passed;
    ClassifConfig* current_config = nullptr;

public slots:
    void current_config_changed(QString name);
    void config_removed(QString name);
    void on_comboBox_color_map_currentIndexChanged(int index);
    void on_pushButton_config_clicked();

protected:
    void changeEvent(QEvent* event) override;

private:
    void buildColourMapBox();
    // Both icon labels show the picture of a backend ("CUDA", "Vulkan", anything else).
    void showConfigIcon(const QString& backend);
    void registerUnloadedConfig(const QString& name, const QString& path, const QString& backend);
    bool isDrawable(int classIndex) const;
    // The {"name", "prob"} records of the latest results, in their order.
    QJsonArray resultRecords() const;
    // One {"name", "prob"} record for every named class of scores, in the names' order, whatever
    // the top and threshold settings keep.
    QJsonArray classProbabilities(const std::vector<float>& scores) const;

    Ui::DialogDeraRodizir_v2* ui;
};
