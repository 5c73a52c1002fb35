// Start-up and close: the save folder, the joining tool written next to the
// program byte for byte, an installed copy's packaged tool, data folder and
// download folder, the message when no tool can be had, and the folder chooser.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLineEdit>

#include "BlTexts.h"
#include "JoinerFiles.h"
#include "MySelectFolder.h"
#include "TestForm.h"

namespace {

QByteArray ReadAll(const QString& AFileName) {
    QFile file(AFileName);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << AFileName.toStdString();
    return file.readAll();
}

TEST(StartUp, WritesTheJoiningToolByteForByteAndExecutable) {
    QTemporaryDir dir;
    TTestForm form(FolderOf(dir));
    form.FormCreate();

    EXPECT_EQ(form.SaveFolder, FolderOf(dir));
    EXPECT_EQ(form.edt2->text(), FolderOf(dir));
    EXPECT_TRUE(form.Messages.isEmpty()) << form.Messages.join('\n').toStdString();
    EXPECT_TRUE(form.chk3->isChecked());
    const std::pair<const char*, const char*> files[] = {{"RuvErov.exe", CL_RUVEROV_FILE},
                                                         {"ZURAre.dll", CL_ZURARE_FILE}};
    for (const auto& [name, built] : files) {
        const QString written = FolderOf(dir) + name;
        const QByteArray bytes = ReadAll(written);
        EXPECT_GT(bytes.size(), 1000);
        EXPECT_TRUE(bytes == ReadAll(QString::fromUtf8(built))) << name;
        EXPECT_TRUE(QFile::permissions(written) & QFileDevice::ExeOwner) << name;
    }
    // Nothing else was left in the folder (no temporary files).
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 2);
}

TEST(StartUp, LeavesAnExistingFileAsItIs) {
    QTemporaryDir dir;
    {
        QFile own(FolderOf(dir) + "RuvErov.exe");
        ASSERT_TRUE(own.open(QIODevice::WriteOnly));
        own.write("mine");
    }
    TTestForm form(FolderOf(dir));
    form.FormCreate();
    EXPECT_EQ(ReadAll(FolderOf(dir) + "RuvErov.exe"), "mine");
    EXPECT_TRUE(ReadAll(FolderOf(dir) + "ZURAre.dll") == ReadAll(CL_ZURARE_FILE));
    EXPECT_TRUE(form.chk3->isChecked());
}

// A folder below a regular file cannot be written, whoever runs the test.
QString UnwritableFolder(const QTemporaryDir& ADir) {
    QFile blocker(FolderOf(ADir) + "file");
    EXPECT_TRUE(blocker.open(QIODevice::WriteOnly));
    return FolderOf(ADir) + "file/program/";
}

// An installed copy: its own folder cannot be written; where the packaged
// tool, the data folder and the download folder are is up to the test.
struct TInstalledForm {
    QTemporaryDir Dir, Data, Downloads;
    TTestForm Form{UnwritableFolder(Dir)};
    TInstalledForm() {
        Form.FolderRules.PackagedJoinerFolder = FolderOf(Dir) + "file/lib/flvdownloader/";
        Form.FolderRules.DataFolder = FolderOf(Data) + "flvdownloader/";
        Form.FolderRules.DownloadFolder = FolderOf(Downloads);
    }
};

TEST(StartUp, AFolderThatCannotBeWrittenUnchecksAutoJoinWithItsMessage) {
    TInstalledForm installed;
    TTestForm& form = installed.Form;
    form.FolderRules.DataFolder = form.FolderRules.ProgramFolder + "data/";  // cannot be written either
    form.FormCreate();
    EXPECT_FALSE(form.chk3->isChecked());
    EXPECT_EQ(form.Messages, QStringList{QString::fromUtf8(bl::kJoinerReleaseFailed)});
    EXPECT_EQ(form.SaveFolder, form.FolderRules.DownloadFolder);  // the program otherwise starts

    // Checking the box again repeats the test.
    form.chk3->setChecked(true);
    EXPECT_FALSE(form.chk3->isChecked());
    EXPECT_EQ(form.Messages.size(), 2);
    EXPECT_EQ(form.Messages.last(), QString::fromUtf8(bl::kJoinerMissing));
}

TEST(StartUp, AnInstalledCopyRunsThePackagedToolAndSavesIntoTheDownloadFolder) {
    TInstalledForm installed;
    TTestForm& form = installed.Form;
    QTemporaryDir packaged;
    ASSERT_TRUE(bl::ReleaseJoinerFiles(FolderOf(packaged)));
    form.FolderRules.PackagedJoinerFolder = FolderOf(packaged);
    form.FormCreate();
    EXPECT_TRUE(form.Messages.isEmpty()) << form.Messages.join('\n').toStdString();
    EXPECT_TRUE(form.chk3->isChecked());
    EXPECT_EQ(form.JoinerFolder(), FolderOf(packaged));
    EXPECT_EQ(form.SaveFolder, FolderOf(installed.Downloads));
    EXPECT_EQ(form.edt2->text(), FolderOf(installed.Downloads));
    EXPECT_FALSE(QDir(form.FolderRules.DataFolder).exists());  // nothing written elsewhere
}

TEST(StartUp, APackagedToolBesideAWritableFolderStillLeavesThatFolderAlone) {
    QTemporaryDir program, packaged, downloads;
    ASSERT_TRUE(bl::ReleaseJoinerFiles(FolderOf(packaged)));
    TTestForm form(FolderOf(program));
    form.FolderRules.PackagedJoinerFolder = FolderOf(packaged);
    form.FolderRules.DownloadFolder = FolderOf(downloads);
    form.FormCreate();
    EXPECT_EQ(form.JoinerFolder(), FolderOf(packaged));
    EXPECT_EQ(form.SaveFolder, FolderOf(downloads));
    EXPECT_TRUE(QDir(program.path()).isEmpty());
}

TEST(StartUp, WithoutThePackagedToolTheDataFolderTakesTheCurrentOne) {
    TInstalledForm installed;
    TTestForm& form = installed.Form;
    const QString data = form.FolderRules.DataFolder;
    {
        // A tool another version left behind is replaced.
        ASSERT_TRUE(QDir().mkpath(data));
        QFile old(data + "RuvErov.exe");
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write("an older tool");
    }
    form.FormCreate();
    EXPECT_TRUE(form.Messages.isEmpty()) << form.Messages.join('\n').toStdString();
    EXPECT_TRUE(form.chk3->isChecked());
    EXPECT_EQ(form.JoinerFolder(), data);
    EXPECT_TRUE(ReadAll(data + "RuvErov.exe") == ReadAll(CL_RUVEROV_FILE));
    EXPECT_TRUE(ReadAll(data + "ZURAre.dll") == ReadAll(CL_ZURARE_FILE));
    EXPECT_TRUE(QFile::permissions(data + "RuvErov.exe") & QFileDevice::ExeOwner);
}

TEST(StartUp, CheckingAutoJoinTestsForBothFilesEveryTime) {
    QTemporaryDir dir;
    TTestForm form(FolderOf(dir));
    form.FormCreate();
    form.chk3->setChecked(false);
    form.chk3->setChecked(true);
    EXPECT_TRUE(form.chk3->isChecked());
    EXPECT_TRUE(form.Messages.isEmpty());

    ASSERT_TRUE(QFile::remove(FolderOf(dir) + "ZURAre.dll"));
    form.chk3->setChecked(false);  // unchecking needs no test
    EXPECT_TRUE(form.Messages.isEmpty());
    form.chk3->setChecked(true);
    EXPECT_FALSE(form.chk3->isChecked());
    EXPECT_EQ(form.Messages, QStringList{QString::fromUtf8(bl::kJoinerMissing)});
}

TEST(StartUp, ThePlainDefaultIsTheExecutablesFolder) {
    TForm1 form;
    EXPECT_EQ(form.ProgramFolder(), QCoreApplication::applicationDirPath() + "/");
}

TEST(Close, WithoutRunningDownloadsAsksNothingAndMarksClosing) {
    QTemporaryDir dir;
    TTestForm form(FolderOf(dir));
    form.FormCreate();
    EXPECT_TRUE(form.FormCloseQuery());
    EXPECT_TRUE(form.Closing);
    EXPECT_TRUE(form.Messages.isEmpty());
    // Finished files stay.
    EXPECT_TRUE(QFile::exists(FolderOf(dir) + "RuvErov.exe"));
}

TEST(FolderChooser, AChoiceReplacesTheSaveFolderAndACancelKeepsIt) {
    QTemporaryDir dir;
    TTestForm form(FolderOf(dir));
    form.FormCreate();

    form.FolderAnswer = "/srv/videos/";
    form.btn2Click();
    EXPECT_EQ(form.FoldersAsked, QStringList{FolderOf(dir)});
    EXPECT_EQ(form.SaveFolder, "/srv/videos/");
    EXPECT_EQ(form.edt2->text(), "/srv/videos/");

    form.FolderAnswer.clear();
    form.btn2Click();
    EXPECT_EQ(form.FoldersAsked.last(), "/srv/videos/");  // starts at the current folder
    EXPECT_EQ(form.SaveFolder, "/srv/videos/");
    EXPECT_EQ(form.edt2->text(), "/srv/videos/");
}

TEST(FolderChooser, ReturnsOneTrailingSeparatorOrNothing) {
    EXPECT_EQ(bl::WithTrailingSeparator("/home/u/Videos"), "/home/u/Videos/");
    EXPECT_EQ(bl::WithTrailingSeparator("/home/u/Videos/"), "/home/u/Videos/");
    EXPECT_EQ(bl::WithTrailingSeparator("/"), "/");
    EXPECT_EQ(bl::WithTrailingSeparator(""), "");
}

}  // namespace
