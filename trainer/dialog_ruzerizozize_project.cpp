// Dataset project: scanning the class folders, the class tree and the image browser.
#include "dialog_ruzerizozize.h"
#include "ui_dialog_ruzerizozize.h"

#include "dialog_augmentation.h"
#include "picture_file.h"
#include "user_prompt.h"

#include <QDebug>
#include <QDir>
#include <QDirIterator>
#include <QImage>
#include <QPixmap>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace {

// Case-sensitive on purpose: only all-lowercase and all-uppercase extensions are images.
const QStringList kImagePatterns = {"*.jpg", "*.JPG", "*.bmp", "*.BMP", "*.png", "*.PNG",
                                    "*.jpeg", "*.JPEG", "*.tiff", "*.TIFF", "*.tif", "*.TIF"};

// A folder path as one line of a warning: its line breaks written as \n and \r.
QString oneLine(QString path)
{
    return path.replace(QLatin1Char('\n'), QLatin1String("\\n")).replace(QLatin1Char('\r'), QLatin1String("\\r"));
}

QMap<QString, QList<QFileInfo> > scanClassFolders(const QString& projectPath, QStringList* warnings)
{
    QMap<QString, QList<QFileInfo> > classes;
    QMap<QString, QString> folderOf;
    QDirIterator folders(projectPath, QDir::Dirs | QDir::NoSymLinks | QDir::NoDotAndDotDot,
                         QDirIterator::Subdirectories);
    while (folders.hasNext()) {
        const QString folder = folders.next();
        const QFileInfoList images =
            QDir(folder).entryInfoList(kImagePatterns, QDir::Files | QDir::CaseSensitive, QDir::Unsorted);
        if (images.isEmpty())
            continue;
        const QString folderName = QFileInfo(folder).fileName();
        QString className = folderName;
        className.remove(QLatin1Char(' '));
        // A line break would split the name over two lines of names.list, which every later
        // step reads line by line.
        className.remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
        if (className.isEmpty()) {
            *warnings << QStringLiteral("class folder %1: its name is blank; its pictures are not used").arg(oneLine(folder));
            continue;
        }
        if (folderName.contains(QLatin1Char('\n')) || folderName.contains(QLatin1Char('\r')))
            *warnings << QStringLiteral("class folder %1: line breaks removed from its name, class %2").arg(oneLine(folder), className);
        if (folderOf.contains(className))
            *warnings << QStringLiteral("class %1: folder %2 replaces folder %3, whose name is the same once blanks "
                                        "are removed")
                             .arg(className, oneLine(folder), oneLine(folderOf.value(className)));
        classes[className] = images;
        folderOf[className] = folder;
    }
    return classes;
}

} // namespace

void DialogRuzerizOzize::loadProject(const QString& path)
{
    if (!QDir(path).exists())
        return;
    QStringList warnings;
    const QMap<QString, QList<QFileInfo> > classes = scanClassFolders(path, &warnings);
    for (const QString& warning : warnings)
        qWarning().noquote() << warning;
    if (classes.isEmpty()) {
        UserPrompt::critical(this, tr("Error"), tr("Can not open this project folder"));
        return;
    }

    classFiles = classes;
    scanWarnings = warnings;
    prjPath = path;
    ui->label->setText(path);
    emit foldersChanged();
    resetUI();
    ui->treeWidget_class->clear();
    for (auto it = classFiles.cbegin(); it != classFiles.cend(); ++it) {
        auto* item = new QTreeWidgetItem(ui->treeWidget_class);
        item->setText(0, it.key());
        item->setText(1, QString::number(it.value().size()));
        currIndex[it.key()] = 0;
    }

    QTreeWidgetItem* first = ui->treeWidget_class->topLevelItem(0);
    ui->treeWidget_class->setCurrentItem(first, 0);
    currClass = first->text(0);
    loadCurrImg(currClass, 0);
}

void DialogRuzerizOzize::loadCurrImg(const QString& className, int index)
{
    const auto files = classFiles.constFind(className);
    if (files == classFiles.cend() || index < 0 || index >= files->size())
        return;
    const int count = files->size();
    const QString path = files->at(index).absoluteFilePath();
    if (!QFileInfo::exists(path)) {
        UserPrompt::critical(this, tr("Error"), tr("The following file does not exists. Plese click Reload\n") + path);
        return;
    }
    // Through the header check: a small file may declare a picture of gigabytes.
    cv::Mat image = PictureFile::readColour(path);
    if (image.empty()) {
        UserPrompt::critical(this, tr("Error"), tr("Can not load the following file. Plese click Refresh\n") + path);
        return;
    }

    currImg = image;
    drawCurrImg();
    ui->label_pic_count->setText(QString::number(index + 1) + "/" + QString::number(count));
    ui->label_pic_name->setText(files->at(index).fileName());
    ui->pushButton_prev->setEnabled(index > 0);
    ui->pushButton_next->setEnabled(index < count - 1);
}

void DialogRuzerizOzize::drawCurrImg()
{
    if (currImg.empty())
        return;
    cv::Mat bgr = currImg;
    if (bgr.channels() == 1)
        cv::cvtColor(currImg, bgr, cv::COLOR_GRAY2BGR);
    const QImage view(bgr.data, bgr.cols, bgr.rows, int(bgr.step), QImage::Format_RGB888);
    const QPixmap pixmap = QPixmap::fromImage(view.rgbSwapped());

    if (ui->checkBox_keep_aspect_ratio->isChecked()) {
        ui->label_img->setScaledContents(false);
        ui->label_img->setPixmap(pixmap.scaled(ui->label_img->size(), Qt::KeepAspectRatio, Qt::FastTransformation));
    } else {
        ui->label_img->setPixmap(pixmap);
        ui->label_img->setScaledContents(true);
    }
}

void DialogRuzerizOzize::resetUI()
{
    ui->label_pic_name->clear();
    ui->label_pic_count->clear();
    ui->label_acc->setText(QString());
    ui->label_avg_loss->setText(QString());
    ui->label_model_name->setText(QString());

    QImage placeholder(120, 120, QImage::Format_RGB888);
    placeholder.fill(QColor(32, 74, 135));
    ui->label_img->setPixmap(QPixmap::fromImage(placeholder));

    currClass.clear();
    currIndex.clear();
    currImg.release();
}

void DialogRuzerizOzize::on_pushbt_open_dir_clicked()
{
    const QString dir = UserPrompt::existingDirectory(
        this, tr("Select Project Folder"), prjPath,
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks | QFileDialog::DontUseNativeDialog);
    if (!dir.isEmpty())
        loadProject(dir);
}

void DialogRuzerizOzize::on_pushButton_refresh_clicked()
{
    loadProject(prjPath);
}

void DialogRuzerizOzize::on_treeWidget_class_itemClicked(QTreeWidgetItem* item, int)
{
    if (!item)
        return;
    currClass = item->text(0);
    loadCurrImg(currClass, currIndex.value(currClass));
}

void DialogRuzerizOzize::on_pushButton_prev_clicked()
{
    if (!ui->treeWidget_class->currentItem() || !currIndex.contains(currClass))
        return;
    const int index = currIndex[currClass] - 1;
    if (index < 0)
        return;
    currIndex[currClass] = index;
    loadCurrImg(currClass, index);
}

void DialogRuzerizOzize::on_pushButton_next_clicked()
{
    if (!ui->treeWidget_class->currentItem() || !currIndex.contains(currClass))
        return;
    const int index = currIndex[currClass] + 1;
    if (index >= classFiles.value(currClass).size())
        return;
    currIndex[currClass] = index;
    loadCurrImg(currClass, index);
}

void DialogRuzerizOzize::on_checkBox_keep_aspect_ratio_stateChanged(int)
{
    if (!currIndex.isEmpty())
        loadCurrImg(currClass, currIndex.value(currClass));
}

void DialogRuzerizOzize::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    if (!currIndex.isEmpty() && !currImg.empty())
        loadCurrImg(currClass, currIndex.value(currClass));
}

void DialogRuzerizOzize::on_pushButton_augmen_clicked()
{
    if (currImg.empty() && !currIndex.isEmpty()) {
        currClass = currIndex.firstKey();
        loadCurrImg(currClass, currIndex.value(currClass));
        // In a single-selection tree the current item is the selected one.
        if (QTreeWidgetItem* item = ui->treeWidget_class->topLevelItem(0))
            ui->treeWidget_class->setCurrentItem(item, 0);
    }
    if (currImg.empty())
        return;

    DialogAugmentation editor(this);
    editor.setWindowTitle(QStringLiteral("RuzerizOzize : Augmentation"));
    editor.image = currImg.clone();
    editor.restoreState(augState);
    editor.exec();
    // Kept whichever way the editor was closed.
    augState = editor.saveState();
}
