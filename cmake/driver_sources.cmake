# Every driver source; both builds compile exactly this list.
set(VORN_DRIVER_SOURCES
  config/device_record.cpp
  config/diagnostics.cpp
  pipeline/byte_ring.cpp
  pipeline/parser.cpp
  pipeline/decode.cpp
  pipeline/grid.cpp
  pipeline/rotate_filter.cpp
  pipeline/click_assist.cpp
  pipeline/notify.cpp
  pipeline/input_queue.cpp
  serial/device_threads.cpp
  serial/port.cpp
  serial/reader.cpp
  serial/parameter_read.cpp
  driver/classentry.cpp
)
