// SPDX-License-Identifier: GPL-3.0-or-later
// SPDX-FileCopyrightText: 2026 The krm59340 developers

#include "app_fixture.h"

#include "support/qstring_printer.h"
#include "ui/connection_line.h"

#include <QFile>

namespace {

const QString kSetVsup = "Set Vsup, the reference voltage, before typing voltages";
const QString kReadDac = "Press Read DAC to read the chip";

class Guidance : public AppFixture {
protected:
    QStringList hints() { return w().connectionLine()->hints(); }
    // What a pick in COM Setting does.
    void pickCom1()
    {
        bench->link.PortNumber = 1;
        bench->link.OpenSelectedPort();
    }
};

TEST_F(Guidance, AFirstRunSaysToSetVsupWhenATypedVoltageSnapsBackAndToReadTheChipAfterThePick)
{
    start({});
    EXPECT_TRUE(w().connectionLine()->parts().contains("No port chosen: press COM Setting"));
    EXPECT_EQ(hints(), QStringList());
    typeInto(volt(2), "5");
    EXPECT_EQ(hints(), QStringList({kSetVsup}));
    leave(volt(2));
    EXPECT_EQ(volt(2)->text(), "0") << "snapped back";

    pickCom1();
    EXPECT_EQ(w().codeBox(2)->text(), "FFFF") << "what the silent bus gave before the pick";
    EXPECT_EQ(hints(), QStringList({kSetVsup, kReadDac}));
    typeInto(w().referenceBox(), "2.5");
    EXPECT_EQ(hints(), QStringList({kSetVsup, kReadDac})) << "not applied before the box is left";
    leave(w().referenceBox());
    EXPECT_EQ(hints(), QStringList({kReadDac}));
    click("Command5");
    EXPECT_EQ(hints(), QStringList());
    typeInto(volt(2), "1.25");
    EXPECT_EQ(hints(), QStringList());
    EXPECT_EQ(chip().dacRegister(2), 512);
}

TEST_F(Guidance, EachHintGoesWithWhateverActsOnIt)
{
    const struct {
        const char* name;
        std::function<void()> act;
    } reads[] = {
        {"Read DAC", [this] { click("Command5"); }},
        {"Reset", [this] { click("Command6"); }},
        {"A0", [this] { QTest::mouseClick(w().a0Button(), Qt::LeftButton); }},
    };
    start(onCom1({{"vref_high0/10", "0"}, {"vref_high1/10", "0"}}));
    EXPECT_EQ(hints(), QStringList()) << "the start-up read";
    for (const auto& r : reads) {
        pickCom1();
        EXPECT_EQ(hints(), QStringList({kReadDac})) << r.name;
        r.act();
        EXPECT_EQ(hints(), QStringList()) << r.name;
    }

    // A reference set by a loaded file or the other A0 bank ends the Vsup hint as the box does.
    const QString set = dir.filePath("set.csv");
    {
        QFile f(set);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("4.096" + QByteArray(",1").repeated(24));
    }
    w().setFileChooser([set](QWidget*, const QString&) { return QFile::encodeName(set); });
    const struct {
        const char* name;
        std::function<void()> act;
    } references[] = {
        {"file", [this] { click("Command2"); }},
        {"A0",
         [this] {
             model().vref_high = {3.3, 3.3};
             QTest::mouseClick(w().a0Button(), Qt::LeftButton);
         }},
    };
    for (const auto& r : references) {
        model().vref_high_cur = 0;
        typeInto(volt(0), "1");
        EXPECT_EQ(hints(), QStringList({kSetVsup})) << r.name;
        r.act();
        EXPECT_EQ(hints(), QStringList()) << r.name;
    }
    EXPECT_TRUE(reports.isEmpty()) << reports.join('\n').toStdString();
}

} // namespace
