#include "ui/dac_list.h"

#include <QFont>
#include <QFontMetrics>
#include <QListWidget>
#include <QStyle>

namespace whorlgen::ui {

namespace {

// The width an item's text may take in `list` once it holds `items` items:
// less the frame, the vertical scroll bar that more than three rows bring,
// and the margins the style keeps on either side of the text.
int DacTextWidth(const QListWidget& list, std::size_t items, std::size_t visibleRows) {
  const QStyle* style = list.style();
  int width = list.width() - 2 * list.frameWidth();
  if (items > visibleRows)
    width -= style->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, &list);
  const int textMargin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &list) + 1;
  return width - 2 * textMargin;
}

// "3a:4f:12 Ether Dream", as much of it as fits, always with all of what
// tells the unit apart: when even that does not fit, its end (the last
// bytes of an address) is kept. Two texts that would still read the same
// show the full names cut in their middles instead.
QStringList FittedDacTexts(const std::vector<output::DacInfo>& dacs, const QListWidget& list,
                           std::size_t itemsInList) {
  const QFontMetrics metrics = list.fontMetrics();
  const int width = DacTextWidth(list, itemsInList, kLibraryDacs);
  const auto fits = [&](const QString& text) { return metrics.horizontalAdvance(text) <= width; };
  QStringList texts;
  for (const output::DacInfo& dac : dacs) {
    const QString kind = QString::fromStdString(dac.Kind);
    const QString unique = QString::fromStdString(dac.ShortName.empty() ? dac.Name : dac.ShortName);
    const QString full = dac.ShortName.empty() || unique == kind ? unique : unique + " " + kind;
    if (fits(full))
      texts << full;
    else if (fits(unique + QChar(0x2026)))
      texts << metrics.elidedText(full, Qt::ElideRight, width);
    else if (fits(unique))
      texts << unique;
    else
      texts << metrics.elidedText(unique, Qt::ElideLeft, width);
  }
  for (int i = 0; i < texts.size(); ++i) {
    if (texts.count(texts[i]) > 1) {
      const QString same = texts[i];
      for (int j = 0; j < texts.size(); ++j) {
        if (texts[j] == same)
          texts[j] =
              metrics.elidedText(QString::fromStdString(dacs[static_cast<std::size_t>(j)].Name),
                                 Qt::ElideMiddle, width);
      }
    }
  }
  return texts;
}

QString DacToolTip(const output::DacInfo& dac, bool missing) {
  const QString name = QString::fromStdString(dac.Name);
  if (missing)
    return name +
           "\nmissing: no longer listed. Start plays nothing until it is listed again;"
           " choose another DAC to play elsewhere.";
  const std::string_view state = output::DeviceStateWords(dac.State);
  return name + "\n" + QString::fromStdString(dac.Kind) + " at " +
         QString::fromStdString(dac.Address) + "\n" +
         QString::fromUtf8(state.data(), static_cast<qsizetype>(state.size()));
}

}  // namespace

bool IsLibraryDac(const std::string& name) {
  return name == "SoundCard" || name == "EZLase" || name == "RIYA";
}

std::string DacNameOf(const QListWidgetItem* item) {
  const QVariant name = item->data(Qt::UserRole);
  return (name.isValid() ? name.toString() : item->text()).toStdString();
}

void FillDacList(QListWidget& list, const std::vector<output::DacInfo>& dacs,
                 const output::DacInfo* missing) {
  std::vector<output::DacInfo> items = dacs;
  if (missing != nullptr)
    items.push_back(*missing);
  // The texts are fitted to the list's width here, so every unit reads
  // differently; a horizontal scroll bar would hide one of the three rows.
  list.setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  while (list.count() > kLibraryDacs)
    delete list.takeItem(kLibraryDacs);
  const QStringList texts = FittedDacTexts(items, list, kLibraryDacs + items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const output::DacInfo& dac = items[i];
    auto* item = new QListWidgetItem(texts[static_cast<int>(i)]);
    item->setData(Qt::UserRole, QString::fromStdString(dac.Name));
    const bool gone = missing != nullptr && i + 1 == items.size();
    item->setToolTip(DacToolTip(dac, gone));
    if (gone) {
      QFont italic = list.font();
      italic.setItalic(true);
      item->setFont(italic);
      item->setForeground(list.palette().color(QPalette::Disabled, QPalette::Text));
    }
    list.addItem(item);
  }
}

}  // namespace whorlgen::ui
