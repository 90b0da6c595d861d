// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QWidget>

#include "app/result_filter.h"
#include "jobs/text_source.h"

class QCheckBox;
class QComboBox;
class QDateEdit;
class QLabel;
class QLineEdit;
class QToolButton;

namespace gui {

// The bar above the results: the filter box ("FilterName", name contains),
// the quick filters ("FilterDeleted", "FilterDamaged", "FilterOverwritten",
// the size presets "FilterSize", the date presets "FilterDate" with a
// range "FilterFrom" / "FilterTo"), and the switch between the list and
// the thumbnail grid ("ViewList", "ViewGrid"). Every control has its text
// and accessible name from the window's language section. Window thread
// only.
class CFilterBar final : public QWidget {
  Q_OBJECT

 public:
  enum class View { kList, kGrid };

  explicit CFilterBar(QWidget* parent = nullptr);

  // Texts and accessible names from the section "MainWnd".
  void Retranslate(const jobs::ITextSource* texts);
  // The filter the controls describe now.
  app::ResultFilter Filter() const;
  // Empties every filter (a new search), without FilterChanged.
  void Reset();
  View CurrentView() const { return m_view; }
  // Shows view as chosen, without ViewChanged.
  void SetView(View view);

 signals:
  void FilterChanged(const app::ResultFilter& filter);
  void ViewChanged(View view);

 private:
  void Changed();

  QLineEdit* m_name = nullptr;
  QCheckBox* m_deleted = nullptr;
  QCheckBox* m_damaged = nullptr;
  QCheckBox* m_overwritten = nullptr;
  QComboBox* m_size = nullptr;
  QComboBox* m_date = nullptr;
  QWidget* m_range = nullptr;
  QLabel* m_fromLabel = nullptr;
  QLabel* m_toLabel = nullptr;
  QDateEdit* m_from = nullptr;
  QDateEdit* m_to = nullptr;
  QToolButton* m_listButton = nullptr;
  QToolButton* m_gridButton = nullptr;
  View m_view = View::kGrid;
};

}  // namespace gui
