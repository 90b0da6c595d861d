// SPDX-License-Identifier: GPL-3.0-or-later
#include "gui/filter_bar.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDateEdit>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QToolButton>
#include <QVBoxLayout>

#include "gui/dialogs.h"
#include "gui/icons.h"
#include "platform/file_time.h"

namespace gui {
namespace {

constexpr std::string_view kSection = "MainWnd";

struct Preset {
  int value;
  const char* key;
  const char* fallback;
};

constexpr Preset kSizes[] = {
    {static_cast<int>(app::SizePreset::kAny), "SizeAny", "Any size"},
    {static_cast<int>(app::SizePreset::kSmall), "SizeSmall", "Under 100 KiB"},
    {static_cast<int>(app::SizePreset::kMedium), "SizeMedium", "100 KiB to 1 MiB"},
    {static_cast<int>(app::SizePreset::kLarge), "SizeLarge", "1 MiB to 100 MiB"},
    {static_cast<int>(app::SizePreset::kHuge), "SizeHuge", "Over 100 MiB"},
};
constexpr Preset kDates[] = {
    {static_cast<int>(app::DatePreset::kAny), "DateAny", "Any date"},
    {static_cast<int>(app::DatePreset::kToday), "DateToday", "Today"},
    {static_cast<int>(app::DatePreset::kLastWeek), "DateWeek", "Last 7 days"},
    {static_cast<int>(app::DatePreset::kLastMonth), "DateMonth", "Last 30 days"},
    {static_cast<int>(app::DatePreset::kLastYear), "DateYear", "Last 12 months"},
    {static_cast<int>(app::DatePreset::kRange), "DateRange", "Between..."},
};

uint64_t FileTimeOf(const QDate& date) {
  platform::SystemTime t;
  t.year = date.year();
  t.month = date.month();
  t.day = date.day();
  uint64_t ft = 0;
  return platform::SystemTimeToFileTime(t, &ft) ? ft : 0;
}

uint64_t Now() {
  uint64_t ft = 0;
  return platform::SystemTimeToFileTime(platform::LocalNow(), &ft) ? ft : 0;
}

void Fill(QComboBox* box, const Preset* presets, size_t count, const jobs::ITextSource* texts) {
  const QSignalBlocker block(box);
  const int current = std::max(0, box->currentIndex());
  box->clear();
  for (size_t i = 0; i < count; ++i) {
    QString text = texts != nullptr ? Q(texts->Text(kSection, presets[i].key)) : QString();
    box->addItem(text.isEmpty() ? QString::fromUtf8(presets[i].fallback) : text, presets[i].value);
  }
  box->setCurrentIndex(current);
}

}  // namespace

CFilterBar::CFilterBar(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FilterBar"));
  auto* rows = new QVBoxLayout(this);
  rows->setContentsMargins(0, 0, 0, 0);
  auto* row = new QHBoxLayout;
  m_name = new QLineEdit(this);
  m_name->setObjectName(QStringLiteral("FilterName"));
  m_name->setClearButtonEnabled(true);
  m_name->setMinimumWidth(140);
  row->addWidget(m_name, 2);
  auto check = [this, row](const char* name) {
    auto* box = new QCheckBox(this);
    box->setObjectName(QString::fromLatin1(name));
    connect(box, &QCheckBox::toggled, this, &CFilterBar::Changed);
    row->addWidget(box);
    return box;
  };
  m_deleted = check("FilterDeleted");
  m_damaged = check("FilterDamaged");
  m_overwritten = check("FilterOverwritten");
  m_damaged->setIcon(DamagedIcon(jobs::FileCategory::kOther));
  m_overwritten->setIcon(OverwrittenIcon(jobs::FileCategory::kOther));
  m_size = new QComboBox(this);
  m_size->setObjectName(QStringLiteral("FilterSize"));
  m_size->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  row->addWidget(m_size);
  m_date = new QComboBox(this);
  m_date->setObjectName(QStringLiteral("FilterDate"));
  m_date->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  row->addWidget(m_date);
  row->addStretch(1);
  auto viewButton = [this, row](const char* name, const QIcon& icon, View view) {
    auto* button = new QToolButton(this);
    button->setObjectName(QString::fromLatin1(name));
    button->setCheckable(true);
    button->setAutoRaise(true);
    button->setIcon(icon);
    button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(button, &QToolButton::clicked, this, [this, view] {
      SetView(view);
      emit ViewChanged(view);
    });
    row->addWidget(button);
    return button;
  };
  m_listButton = viewButton("ViewList", ListViewIcon(), View::kList);
  m_gridButton = viewButton("ViewGrid", GridViewIcon(), View::kGrid);
  rows->addLayout(row);

  // The range of dates, shown when "Between..." is chosen.
  m_range = new QWidget(this);
  auto* range = new QHBoxLayout(m_range);
  range->setContentsMargins(0, 0, 0, 0);
  m_fromLabel = new QLabel(m_range);
  m_from = new QDateEdit(m_range);
  m_from->setObjectName(QStringLiteral("FilterFrom"));
  m_toLabel = new QLabel(m_range);
  m_to = new QDateEdit(m_range);
  m_to->setObjectName(QStringLiteral("FilterTo"));
  for (QDateEdit* edit : {m_from, m_to}) {
    edit->setCalendarPopup(true);
    edit->setDisplayFormat(QLocale().dateFormat(QLocale::ShortFormat));
    connect(edit, &QDateEdit::dateChanged, this, &CFilterBar::Changed);
  }
  const QDate today = QDate::currentDate();
  m_from->setDate(today.addYears(-1));
  m_to->setDate(today);
  m_fromLabel->setBuddy(m_from);
  m_toLabel->setBuddy(m_to);
  range->addStretch(1);
  range->addWidget(m_fromLabel);
  range->addWidget(m_from);
  range->addWidget(m_toLabel);
  range->addWidget(m_to);
  m_range->hide();
  rows->addWidget(m_range);

  connect(m_name, &QLineEdit::textChanged, this, &CFilterBar::Changed);
  connect(m_size, &QComboBox::currentIndexChanged, this, &CFilterBar::Changed);
  connect(m_date, &QComboBox::currentIndexChanged, this, [this] {
    m_range->setVisible(m_date->currentData().toInt() == static_cast<int>(app::DatePreset::kRange));
    Changed();
  });
  Retranslate(nullptr);
  SetView(m_view);
}

void CFilterBar::Retranslate(const jobs::ITextSource* texts) {
  auto text = [texts](std::string_view key, const char* fallback) {
    const QString t = texts != nullptr ? Q(texts->Text(kSection, key)) : QString();
    return t.isEmpty() ? QString::fromUtf8(fallback) : t;
  };
  m_name->setPlaceholderText(text("FilterName", "Filter by name"));
  m_name->setAccessibleName(m_name->placeholderText());
  m_deleted->setText(text("FilterDeleted", "Deleted"));
  m_deleted->setToolTip(text("FilterDeletedTip", "Only files that were deleted"));
  m_damaged->setText(text("FilterDamaged", "Damaged"));
  m_damaged->setToolTip(text("FilterDamagedTip", "Only files whose data could not be checked to be their own"));
  m_overwritten->setText(text("FilterOverwritten", "Overwritten"));
  m_overwritten->setToolTip(text("FilterOverwrittenTip", "Only files whose place other files use now"));
  for (QCheckBox* box : {m_deleted, m_damaged, m_overwritten}) box->setAccessibleName(box->text());
  Fill(m_size, kSizes, std::size(kSizes), texts);
  Fill(m_date, kDates, std::size(kDates), texts);
  m_size->setAccessibleName(text("FilterSize", "Size"));
  m_date->setAccessibleName(text("FilterDate", "Date"));
  m_fromLabel->setText(text("FilterFrom", "From"));
  m_toLabel->setText(text("FilterTo", "to"));
  m_from->setAccessibleName(m_fromLabel->text());
  m_to->setAccessibleName(m_toLabel->text());
  m_listButton->setText(text("ViewList", "List"));
  m_gridButton->setText(text("ViewGrid", "Thumbnails"));
  m_listButton->setAccessibleName(m_listButton->text());
  m_gridButton->setAccessibleName(m_gridButton->text());
}

app::ResultFilter CFilterBar::Filter() const {
  app::ResultFilter f;
  f.nameContains = m_name->text().trimmed().toStdString();
  f.deletedOnly = m_deleted->isChecked();
  f.damagedOnly = m_damaged->isChecked();
  f.overwrittenOnly = m_overwritten->isChecked();
  f.SetSize(static_cast<app::SizePreset>(m_size->currentData().toInt()));
  const auto date = static_cast<app::DatePreset>(m_date->currentData().toInt());
  if (date == app::DatePreset::kRange) {
    // Both days count whole.
    const QDate from = std::min(m_from->date(), m_to->date());
    const QDate to = std::max(m_from->date(), m_to->date());
    f.fromTime = FileTimeOf(from);
    f.toTime = FileTimeOf(to.addDays(1));
  } else {
    f.SetDate(date, Now());
  }
  return f;
}

void CFilterBar::Reset() {
  const QSignalBlocker blocks[] = {QSignalBlocker(m_name),        QSignalBlocker(m_deleted), QSignalBlocker(m_damaged),
                                   QSignalBlocker(m_overwritten), QSignalBlocker(m_size),    QSignalBlocker(m_date)};
  m_name->clear();
  m_deleted->setChecked(false);
  m_damaged->setChecked(false);
  m_overwritten->setChecked(false);
  m_size->setCurrentIndex(0);
  m_date->setCurrentIndex(0);
  m_range->hide();
}

void CFilterBar::SetView(View view) {
  m_view = view;
  m_listButton->setChecked(view == View::kList);
  m_gridButton->setChecked(view == View::kGrid);
}

void CFilterBar::Changed() {
  emit FilterChanged(Filter());
}

}  // namespace gui
