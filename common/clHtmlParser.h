// A small HTML parser that yields the forms of a page. Work in progress.
#pragma once
