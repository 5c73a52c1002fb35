// The window's merge queue as a view of the merge flow: the rows of lv3, the
// merge tick (tmr2), the workers' ends, and the box (chk5) that sends
// finished videos on to become MP4 files.
#include <QCheckBox>
#include <QFileInfo>
#include <QTreeWidget>

#include "Bl.h"
#include "MergeQueue.h"

using namespace bl;

void TForm1::SetUpMerging() {
    FMerge = std::make_unique<TMergeQueue>(*tmr2, FJoinerFolder + QStringLiteral("RuvErov.exe"), Closing,
                                           [this](const QString& AName) { return FVideos.IsNameTaken(AName); });
    FMerge->OnRowAdded = [this](int ARow) {
        const TMergeRow& row = FMerge->Row(ARow);
        // Inserting the row runs lv3Insert.
        lv3->insertTopLevelItem(ARow, new QTreeWidgetItem({row.BaseName, row.Folder, QString::number(row.Count),
                                                           MergeStateText(row.State)}));
    };
    FMerge->OnRowChanged = [this](int ARow) {
        if (QTreeWidgetItem* item = lv3->topLevelItem(ARow)) item->setText(3, MergeStateText(FMerge->Row(ARow).State));
    };
    FMerge->OnRowRemoved = [this](int ARow) { delete lv3->takeTopLevelItem(ARow); };
    FMerge->ConvertToMp4 = chk5->isChecked();
    connect(chk5, &QCheckBox::toggled, this, [this](bool AChecked) { FMerge->ConvertToMp4 = AChecked; });
}

void TForm1::AddConversionRow(const QString& AFile) {
    const QFileInfo file(AFile);
    if (!chk5->isChecked() || file.suffix() != QLatin1String("flv")) return;
    FMerge->AddConversion(file.completeBaseName(), file.path() + QLatin1Char('/'));
}

void TForm1::AddMergeRow(const QString& ABaseName, const QString& AFolder, int ACount) {
    FMerge->Add(ABaseName, AFolder, ACount);
}

void TForm1::lv3Insert() { FMerge->EnableTick(); }

void TForm1::tmr2Timer() { FMerge->TickElapsed(); }

void TForm1::JoinFinished() { FMerge->JoinFinished(); }

bl::GatFlv* TForm1::Joiner() const { return FMerge->Joiner(); }

bool TForm1::IsJoinerRunning() const { return FMerge->IsJoinerRunning(); }

bool TForm1::IsConverting() const { return FMerge->IsConverting(); }

void TForm1::TerminateJoinerProcesses() { FMerge->TerminateJoinerProcesses(); }
