// Types connection details into the connection window's five boxes.
#pragma once

#include "database/mysql.h"
#include "windows/form1.h"

inline void TypeDetails(Form1& form1, const MySQL::ConnectionDetails& d) {
  form1.Text1->setText(d.server);
  form1.Text2->setText(d.user);
  form1.Text3->setText(d.password);
  form1.Text4->setText(d.database);
  form1.Text5->setText(d.port);
}
