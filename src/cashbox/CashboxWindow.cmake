# The cashbox window and its connection logic.

# The state check after a connection: the identity tasks, the "cashbox" report and the
# warnings about the register's state. No Qt widgets.
add_library(th_cashbox_connection STATIC CashboxConnection.cpp)
target_link_libraries(th_cashbox_connection PUBLIC th_dispatcher th_drivers th_platform)

# A register's worker thread and the sale point's record that owns it. No Qt widgets.
add_library(th_register_worker STATIC RegisterWorker.cpp CashboxRecord.cpp)
target_link_libraries(th_register_worker PUBLIC th_cashbox_connection th_exchange th_journal
    th_drivers th_dispatcher th_settings th_platform Qt6::Core)

# The window of one register.
add_library(th_cashbox_gui STATIC CashboxWindow.cpp)
target_link_libraries(th_cashbox_gui PUBLIC th_register_worker th_cashbox_connection th_exchange
    th_journal th_drivers th_dispatcher th_clientform th_settings th_platform_gui Qt6::Widgets)
