local function mandelbrot(size, max_iter)
    local inside = 0
    local steps = 0
    local scale = size + 0.0
    local y = 0
    while y < size do
        local ci = 2.0 * y / scale - 1.0
        local x = 0
        while x < size do
            local cr = 2.5 * x / scale - 2.0
            local zr = 0.0
            local zi = 0.0
            local zr2 = 0.0
            local zi2 = 0.0
            local n = 0
            while n < max_iter and zr2 + zi2 <= 4.0 do
                zi = 2.0 * zr * zi + ci
                zr = zr2 - zi2 + cr
                zr2 = zr * zr
                zi2 = zi * zi
                n = n + 1
            end
            if n == max_iter then
                inside = inside + 1
            end
            steps = steps + n
            x = x + 1
        end
        y = y + 1
    end
    return inside * 100000000 + steps
end
print(mandelbrot(800, 100))
