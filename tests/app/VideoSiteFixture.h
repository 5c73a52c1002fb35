// The window against the site stand-in for the play-address and download
// queue tests: one site for the suite, a fresh window and save folder per
// test, and waits that serve the window's events until a condition holds.
#pragma once

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <functional>
#include <ostream>

#include "TestForm.h"
#include "site/VidSite.h"
#include "site/VidSiteClient.h"
#include "transport/clMessagePump.h"

// Failures show texts, not code units.
inline void PrintTo(const QString& AText, std::ostream* AStream) { *AStream << '"' << AText.toStdString() << '"'; }

class VideoSiteTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        FSite = new vidsite::TVidSite();
        FSettings = new vidsite::TSiteClientSettings(*FSite);
    }
    static void TearDownTestSuite() {
        delete FSettings;
        delete FSite;
    }
    void SetUp() override {
        FForm.FormCreate();
        FForm.SaveFolder = FolderOf(FFolder);
        // Retries come quickly, so that failing servers end the test soon.
        FForm.clMdloader1.SetReconnectAfter(200);
        FForm.clMdloader2.SetReconnectAfter(200);
    }
    void TearDown() override {
        FForm.N8Click();
        FSite->Faults().Clear();
        FSite->Log().Clear();
        FSite->SetMediaRate(0);
    }

    // Parses a page of the site and waits for its play addresses.
    void Parse(const std::string& APath) {
        FForm.edt1->setText(QString::fromStdString("https://www.vidsite.example" + APath));
        FForm.btn1->click();
        ASSERT_TRUE(WaitForParseEnd(FForm));
    }
    QStringList Column(QTreeWidget* AList, int AColumn) const {
        QStringList texts;
        for (int i = 0; i < AList->topLevelItemCount(); ++i) texts << AList->topLevelItem(i)->text(AColumn);
        return texts;
    }
    cl::TclDownLoadItem& Item(int ARow) { return FForm.clMdloader1.DownLoadList().Items(ARow); }
    int RowsWithGlyph(const QString& AGlyph) const { return static_cast<int>(Column(FForm.lv1, 0).count(AGlyph)); }
    bool AllDownloadsDone() const { return FForm.lv1->topLevelItemCount() == 0 && !FForm.clMdloader1.IsBusy(); }
    QStringList SavedFiles() const { return QDir(FFolder.path()).entryList(QDir::Files, QDir::Name); }
    QByteArray Saved(const QString& AName) const {
        QFile file(FolderOf(FFolder) + AName);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QByteArray Served(int64_t ACid, int AQuality, int AIndex) const {
        const auto bytes = FSite->SegmentBytes(ACid, AQuality, AIndex);
        return bytes ? QByteArray(bytes->data(), static_cast<qsizetype>(bytes->size())) : QByteArray();
    }

    static vidsite::TVidSite* FSite;
    static vidsite::TSiteClientSettings* FSettings;
    QTemporaryDir FProgramFolder;
    QTemporaryDir FFolder;  // the save folder
    TTestForm FForm{FolderOf(FProgramFolder)};
};
