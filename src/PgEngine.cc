// engine under construction
