# ptzsim is built around the protocol decoders and the simulated camera of sim/.
target_link_libraries(ptzsim PRIVATE k47sim)
